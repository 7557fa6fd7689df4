#!/usr/bin/env python3
"""Drives korvweb's fleet page in headless chromium: one login, a card per
daemon in words, and a click on the running card that opens its console.
Exit 77 when no browser is installed. Argument: the fleet page's URL."""
import shutil
import sys

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

browser, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
if not browser or not driver_path:
    print("skipped: chromium or chromedriver is not installed")
    sys.exit(77)
options = webdriver.ChromeOptions()
options.binary_location = browser
for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service(driver_path), options=options)
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
