#!/usr/bin/python3
"""Click to visible effect in a real browser: headless chromium drives
korvweb's page against korvd and gamesim (the demo server, in a private
network namespace so that the game's fixed ports meet nothing else) and
times say, kick and a setting save from the click to the frame that shows
the outcome text beside the button, with performance.now() in the page.
Prints the median and the slowest of each over TRIES tries (20), with where
the time went, and a "result" line per figure for bench/run-all.sh (goal
20 ms). Exit 77 when no browser or no private network namespace is at hand.
Usage: bench/korvweb_browser_bench.py [TRIES]"""
import os
import socket
import subprocess
import sys
import tempfile
import time

root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
build = os.environ.get("KORV_BUILD", os.path.join(root, "build"))
if "--inside" not in sys.argv:
    if subprocess.call(["unshare", "-rn", "true"], stderr=subprocess.DEVNULL) != 0:
        print("skipped: no private network namespace here")
        sys.exit(77)
    os.execvp("unshare", ["unshare", "-rn", sys.executable, os.path.abspath(__file__), "--inside"] + sys.argv[1:])
sys.argv.remove("--inside")
tries = int(sys.argv[1]) if len(sys.argv) > 1 else 20
sys.path.insert(0, os.path.join(root, "tests", "korvweb"))
from headless import start_driver  # noqa: E402 (exits 77 without a browser)
from selenium.webdriver.support.ui import WebDriverWait  # noqa: E402

# Times one click: from the click to the start of the frame that paints the
# outcome text (anything but the "waiting" line), with where the time went:
# until the click's first API request left, that request as the browser saw
# it (to its answer's head in the page), from there to the text, and from
# the text to the frame.
TIMED_CLICK = """
const [selector, outcomeOf, done] = arguments;
const button = document.querySelector(selector);
const line = outcomeFor(document.getElementById(outcomeOf));
line.textContent = '';
// The page's requests, from their start to their answer's head in the page.
if (!window.benchRequests) {
  const fetchNow = window.fetch;
  window.fetch = async (...args) => {
    const request = { path: String(args[0]), start: performance.now() };
    window.benchRequests.push(request);
    const response = await fetchNow(...args);
    request.answer = performance.now();
    return response;
  };
}
window.benchRequests = [];
let start = 0;
const watch = new MutationObserver(() => {
  const text = line.textContent;
  if (!text || text.endsWith('\\u2026')) return;
  watch.disconnect();
  const set = performance.now();
  requestAnimationFrame((frame) => {
    const api = window.benchRequests.find((r) => r.answer) || { start: start, answer: set };
    done([Math.max(frame, set) - start, text, api.start - start, api.answer - api.start,
          set - api.answer, Math.max(frame, set) - set]);
  });
});
watch.observe(line, { childList: true, characterData: true, subtree: true });
start = performance.now();
button.click();
"""


def wait_for_port(port):
    for _ in range(200):
        with socket.socket() as s:
            if s.connect_ex(("127.0.0.1", port)) == 0:
                return
        time.sleep(0.05)
    raise SystemExit("nothing listens on port %d" % port)


def median_and_max(values):
    ordered = sorted(values)
    return ordered[len(ordered) // 2], ordered[-1]


def main():
    subprocess.run(["ip", "link", "set", "lo", "up"], check=True)
    work = tempfile.mkdtemp(prefix="korvweb-browser-bench.")
    demo = os.path.join(work, "demo")
    subprocess.run([os.path.join(root, "scripts", "make_demo_server.sh"), demo], stdout=subprocess.DEVNULL, check=True)
    # A steady game: a player to kick for every try, nobody comes or goes by chance.
    with open(os.path.join(demo, "gamesim.scenario"), "w") as f:
        f.write("lively 0\n" + "".join("player %d 1 0 0 0 50 10.0.1.%d:14568 - - P%d\n" % (i, i, i)
                                       for i in range(1, tries + 1)))
    processes = []
    driver = None
    try:
        with open(os.path.join(work, "korvd.out"), "w") as out:
            processes.append(subprocess.Popen([os.path.join(build, "korvd"), "-start", "-exit", "-nodelay",
                                               "-path", demo, "-port", "14667"], stdout=out, stderr=out))
        wait_for_port(14667)
        with open(os.path.join(work, "korvweb.out"), "w") as out:
            processes.append(subprocess.Popen([os.path.join(build, "korvweb"), "--listen", "127.0.0.1:8080",
                                               "--daemon", "127.0.0.1:14667"], stdout=out, stderr=out))
        wait_for_port(8080)
        driver = start_driver()
        driver.set_script_timeout(30)
        wait = WebDriverWait(driver, 60)
        driver.get("http://127.0.0.1:8080/")
        # The page as the browser received it: the HTML and every file it loaded.
        size = driver.execute_script(
            "return [...performance.getEntriesByType('navigation'), ...performance.getEntriesByType('resource')]"
            ".reduce((sum, e) => sum + e.decodedBodySize, 0)")
        print("korvweb page, uncompressed: %.1f KB (goal 64 KB)" % (size / 1024))
        print("result\tkorvweb page, uncompressed\t%.4g\t64\tKB" % (size / 1024))
        driver.find_element("id", "user").send_keys("admin")
        driver.find_element("id", "password").send_keys("changeme")
        driver.find_element("id", "login-button").click()
        wait.until(lambda d: d.find_elements("id", "tab-players"))
        driver.find_element("id", "tab-players").click()
        wait.until(lambda d: "P%d" % tries in d.find_element("id", "players").text)
        driver.execute_script("window.confirm = () => true; $('player-reason').value = 'bench';")
        figures = {"say": [], "kick": [], "setting save": []}
        for i in range(1, tries + 1):
            driver.execute_script("$('say-text').value = arguments[0];", "bench %d" % i)
            figures["say"].append(driver.execute_async_script(TIMED_CLICK, "#say-button", "say-button"))
            wait.until(lambda d: d.find_elements("css selector", "[aria-label='Kick P%d']" % i))
            figures["kick"].append(driver.execute_async_script(
                TIMED_CLICK, "[aria-label='Kick P%d']" % i, "kick-button"))
            wait.until(lambda d: d.execute_script("return settingsRows.length > 0 && !!document.getElementsByName('game.serverName')[0]"))
            driver.execute_script("document.getElementsByName('game.serverName')[0].value = arguments[0];", "bench %d" % i)
            figures["setting save"].append(driver.execute_async_script(TIMED_CLICK, "#settings-save", "settings-save"))
        for name, runs in figures.items():
            middle, slowest = median_and_max([run[0] for run in runs])
            parts = [median_and_max([run[i] for run in runs])[0] for i in range(2, 6)]
            print("%s, click to the outcome shown (\"%s\"): median %.1f ms, max %.1f ms (%d tries); "
                  "medians: %.1f ms to the request, %.1f ms the request, %.1f ms to the text, "
                  "%.1f ms to the frame" % ((name, runs[-1][1], middle, slowest, len(runs)) + tuple(parts)))
            print("result\tkorvweb browser %s, median\t%.4g\t20\tms" % (name, middle))
    finally:
        if driver:
            driver.quit()
        for process in reversed(processes):
            process.terminate()
            process.wait(20)
        subprocess.run(["rm", "-rf", work])


main()
