"""The headless chromium both page checks drive: exits 77 (skipped) when
python3-selenium, chromium or chromedriver is not installed."""
import shutil
import sys

try:
    from selenium import webdriver
    from selenium.webdriver.chrome.service import Service
except ImportError:
    print("skipped: python3-selenium is not installed")
    sys.exit(77)


def start_driver():
    browser, driver_path = shutil.which("chromium"), shutil.which("chromedriver")
    if not browser or not driver_path:
        print("skipped: chromium or chromedriver is not installed")
        sys.exit(77)
    options = webdriver.ChromeOptions()
    options.binary_location = browser
    for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service(driver_path), options=options)
