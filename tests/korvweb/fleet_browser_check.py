#!/usr/bin/env python3
"""Drives korvweb's fleet page in headless chromium: one login, a card per
daemon in words, and a click on the running card that opens its console.
Exit 77 when no browser is installed. Argument: the fleet page's URL."""
import sys

from headless import start_driver
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

driver = start_driver()
wait = WebDriverWait(driver, 20)
try:
    driver.get(sys.argv[1])
    driver.find_element(By.ID, "user").send_keys("admin")
    driver.find_element(By.ID, "password").send_keys("secret")
    driver.find_element(By.ID, "login-button").click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, ".card")) == 3)
    words = [e.text for e in driver.find_elements(By.CSS_SELECTOR, ".card .words")]
    assert words[0].startswith("Running, ") and words[1:] == ["no access", "unreachable"], words
    driver.find_element(By.CSS_SELECTOR, ".card[data-server=alpha]").click()
    wait.until(lambda d: d.find_element(By.ID, "console").is_displayed())
    print("fleet browser check passed")
finally:
    driver.quit()
