#!/usr/bin/env bash
# Takes the README's two pictures of korvweb (docs/korvweb-desktop.png and
# docs/korvweb-phone.png) from the demo server: gamesim plays the game, korvd
# runs it, korvweb serves the page and headless chromium photographs it. All
# of it runs in a private network namespace, so the game's fixed ports never
# meet a running server; every process it starts is ended by its pid.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
if [ "${1:-}" != --inside ]; then
  [ -x "$root/build/korvd" ] && [ -x "$root/build/korvweb" ] || { echo "build the project first" >&2; exit 1; }
  exec unshare -rn "$0" --inside
fi
ip link set lo up
work=$(mktemp -d)
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT
"$root/scripts/make_demo_server.sh" "$work/demo" >/dev/null
"$root/build/korvd" -start -exit -path "$work/demo" -port 14667 >"$work/korvd.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/14667) 2>/dev/null && break; sleep 0.1; done
"$root/build/korvweb" --listen 127.0.0.1:8080 --daemon 127.0.0.1:14667 >"$work/korvweb.out" 2>&1 &
pids+=($!)
for _ in $(seq 100); do (exec 3<>/dev/tcp/127.0.0.1/8080) 2>/dev/null && break; sleep 0.1; done
mkdir -p "$root/docs"
/usr/bin/python3 - "$root/docs" <<'PY'
import sys
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for flag in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--hide-scrollbars"):
    options.add_argument(flag)
driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
wait = WebDriverWait(driver, 30)
try:
    driver.set_window_size(1280, 800)
    driver.get("http://127.0.0.1:8080/")
    driver.find_element(By.ID, "user").send_keys("admin")
    driver.find_element(By.ID, "password").send_keys("changeme")
    driver.find_element(By.ID, "login-button").click()
    wait.until(lambda d: d.find_elements(By.ID, "tab-players"))
    driver.find_element(By.ID, "tab-players").click()
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#players tr")) > 2)
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#events li")) > 2)
    driver.save_screenshot(sys.argv[1] + "/korvweb-desktop.png")
    driver.set_window_size(390, 844)
    driver.execute_script("window.scrollTo(0, 0)")
    driver.save_screenshot(sys.argv[1] + "/korvweb-phone.png")
finally:
    driver.quit()
PY
echo "wrote docs/korvweb-desktop.png and docs/korvweb-phone.png"
