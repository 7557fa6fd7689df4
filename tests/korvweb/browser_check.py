#!/usr/bin/env python3
"""Drives korvweb's page in headless chromium: a refused login in words,
the players gamesim plays, a kick, a live chat line, a setting changed and a
command refused to a lesser account. Exit 77 when no browser is installed.
Arguments: URL SCENARIO_FILE PLAYERS_TEXT."""
import os
import shutil
import sys
import time

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)

url, scenario, players = sys.argv[1], sys.argv[2], sys.argv[3]
browser = shutil.which("chromium")
driver_path = shutil.which("chromedriver")
if not browser or not driver_path:
    print("skipped: chromium or chromedriver is not installed")
    sys.exit(77)

options = webdriver.ChromeOptions()
options.binary_location = browser
for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service(driver_path), options=options)
wait = WebDriverWait(driver, 20)


def text_of(element_id):
    return driver.find_element(By.ID, element_id).get_attribute("textContent")


def login(user, password):
    driver.find_element(By.ID, "user").clear()
    driver.find_element(By.ID, "user").send_keys(user)
    driver.find_element(By.ID, "password").clear()
    driver.find_element(By.ID, "password").send_keys(password)
    driver.find_element(By.ID, "login-button").click()


try:
    driver.get(url)
    login("admin", "wrong")
    wait.until(lambda d: "wrong user name or password" in text_of("login-error"))
    # A failed login makes the client and the account wait a second.
    time.sleep(1.2)
    login("admin", "secret")
    wait.until(lambda d: d.find_elements(By.ID, "tab-players"))
    driver.find_element(By.ID, "tab-players").click()
    wait.until(lambda d: "Mike" in text_of("players"))
    row = [r for r in driver.find_elements(By.CSS_SELECTOR, "#players tr") if "Mike" in r.text][0]
    row.click()
    driver.find_element(By.ID, "player-reason").send_keys("camping")
    driver.find_element(By.ID, "kick-button").click()
    wait.until(lambda d: text_of("message") == "sent: kick")

    driver.find_element(By.ID, "tab-chat").click()
    with open(scenario, "w") as f:
        f.write(players + "chat Bob: hello from the game\n")
    # A later modification time, so gamesim notices the change at once.
    later = time.time() + 30
    os.utime(scenario, (later, later))
    wait.until(lambda d: "Bob: hello from the game" in text_of("chat"))

    driver.find_element(By.ID, "tab-settings").click()
    name = driver.find_element(By.NAME, "game.serverName")
    name.clear()
    name.send_keys("Browser Renamed")
    driver.find_element(By.ID, "settings-save").click()
    wait.until(lambda d: text_of("message") == "settings saved")

    driver.find_element(By.ID, "logout").click()
    wait.until(lambda d: driver.find_element(By.ID, "login").is_displayed())
    login("mod", "secret")
    wait.until(lambda d: driver.find_element(By.ID, "console").is_displayed())
    assert not driver.find_element(By.CSS_SELECTOR, "[data-action=stop]").is_displayed()
    driver.execute_script("act('stop')")
    wait.until(lambda d: text_of("message").startswith("refused: this account lacks"))
    print("browser check passed")
finally:
    driver.quit()
