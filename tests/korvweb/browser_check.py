#!/usr/bin/env python3
"""Drives korvweb's page in headless chromium: a refused login in words,
the players gamesim plays, a kick with its outcome beside the button, a live
chat line, a map with its mode, a setting and the banned words edited while
a second administrator saves, a schedule event built, a phone-wide window,
nothing left after log out, a lesser account refused, and its session
dropped by the daemon. Exit 77 when no browser is installed.
Arguments: URL SCENARIO_FILE PLAYERS_TEXT KORVCTL DAEMON_PORT."""
import http.client
import json
import os
import re
import subprocess
import sys
import time
from urllib.parse import urlparse

from headless import start_driver
from selenium.common.exceptions import StaleElementReferenceException
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import Select, WebDriverWait

url, scenario, players, korvctl, daemon_port = sys.argv[1:6]
driver = start_driver()
# Live tables are rebuilt under the test's hands: an element gone stale is looked up again.
wait = WebDriverWait(driver, 20, ignored_exceptions=[StaleElementReferenceException])


def text_of(element_id):
    return driver.find_element(By.ID, element_id).get_attribute("textContent")


def login(user, password):
    driver.find_element(By.ID, "user").clear()
    driver.find_element(By.ID, "user").send_keys(user)
    driver.find_element(By.ID, "password").clear()
    driver.find_element(By.ID, "password").send_keys(password)
    driver.find_element(By.ID, "login-button").click()


def click(css):
    wait.until(lambda d: d.find_element(By.CSS_SELECTOR, css).click() or True)


def tab(name):
    """After a login the tabs come with the session's answer: wait for them."""
    wait.until(lambda d: d.find_element(By.ID, "tab-" + name).is_displayed())
    driver.find_element(By.ID, "tab-" + name).click()


def outcome_after(element_id):
    """The outcome line shown beside the row, form or table holding the element."""
    return driver.execute_script(
        "const box = document.getElementById(arguments[0]).closest('.row, .buttons, table')"
        " || document.getElementById(arguments[0]);"
        "const line = box.nextElementSibling;"
        "return line && line.classList.contains('outcome') ? line.textContent : '';", element_id)


def file_has(path, text):
    return os.path.exists(path) and text in open(path, errors="replace").read()


def fits_the_width():
    return driver.execute_script("return document.documentElement.scrollWidth <= window.innerWidth")


class OtherAdmin:
    """A second administrator, saving through the API while the page edits."""

    def __init__(self):
        self.base = urlparse(url)
        answer, headers = self.request("/api/login", {"user": "other", "password": "secret"}, {})
        self.headers = {"Cookie": headers["Set-Cookie"].split(";")[0], "X-Korv-Token": answer["token"]}

    def request(self, path, body, headers):
        connection = http.client.HTTPConnection(self.base.hostname, self.base.port, timeout=20)
        connection.request("POST", path, json.dumps(body), dict(headers, **{"Content-Type": "application/json"}))
        response = connection.getresponse()
        data = response.read()
        assert response.status == 200, (path, data)
        return json.loads(data), response.headers

    def post(self, path, body):
        self.request(path, body, self.headers)


def check_words_ban_edit_and_phone():
    """Settings in words and found by their help, Bob's ban edited in its row, the status and
    the account in words, and on a phone each player inside the players card."""
    def search(element_id, text):
        driver.find_element(By.ID, element_id).send_keys(Keys.CONTROL, "a", Keys.NULL, Keys.BACKSPACE, text)

    tab("settings")
    search("settings-search", "anti-cheat")
    wait.until(lambda d: not d.find_element(By.NAME, "game.serverMaxPlayers").is_displayed())
    assert driver.find_element(By.NAME, "game.serverPunkBuster").is_displayed()
    search("settings-search", "")
    players = driver.find_element(By.NAME, "game.serverMaxPlayers").find_element(By.XPATH, "../..")
    assert players.text == "Maximum players (players, 2 to 64) game.serverMaxPlayers\n" \
        "How many players may be on the server at once.", players.text
    assert players.find_element(By.CLASS_NAME, "restart").is_displayed()
    assert "Server and network (S)" in text_of("settings-form")

    tab("bans")
    search("ban-search", "")
    click("[aria-label='Edit the ban of Bob']")
    reason = wait.until(lambda d: d.find_element(By.ID, "be-reason"))
    reason.clear()
    reason.send_keys("edited, twice")
    driver.find_element(By.ID, "be-save").click()
    wait.until(lambda d: "may not hold a comma" in outcome_after("be-save"))
    search("be-reason", "edited reason")
    Select(driver.find_element(By.ID, "be-duration")).select_by_visible_text("ends in 1 week")
    driver.find_element(By.ID, "be-save").click()
    wait.until(lambda d: outcome_after("bans") == "ban saved: Bob, edited reason, ends in 1 week")
    bob = [r.text for r in driver.find_elements(By.CSS_SELECTOR, "#bans tr") if r.text.startswith("Bob")]
    assert len(bob) == 1 and "in 7 days edited reason" in bob[0], bob

    assert text_of("who") == "admin (administrator)", text_of("who")
    assert re.search(r"players.*, Axis \d+ \u00b7 Allied \d+$", text_of("summary")), text_of("summary")
    driver.set_window_size(390, 844)
    Select(driver.find_element(By.ID, "tab-menu")).select_by_value("view-players")
    wait.until(lambda d: len(d.find_elements(By.CSS_SELECTOR, "#players tr")) > 1)
    assert driver.execute_script(
        "const card = $('view-players'), box = card.getBoundingClientRect();"
        "return [...card.querySelectorAll('#players td')].every((td) => td.getBoundingClientRect().right <= box.right)"
        " && card.scrollWidth <= card.clientWidth"), "a player's row leaves its card"
    assert fits_the_width()
    driver.set_window_size(1280, 900)


def earlier_chat_menu_reason_and_message():
    """Logged in again: the chat from before shows, a player menu reason is
    picked with its span, and one player is messaged by name."""
    base = os.path.dirname(scenario)
    with open(os.path.join(base, "mods/bf1942/settings/playermenu.con"), "w") as f:
        f.write('TK [tk] "Team killing"|kick,ban,86400\n')
    with open(scenario, "w") as f:
        f.write(players + "player 5 1 0 0 0 50 10.0.0.7:23002 - - Zed\nchat Zed: said before the login\n")
    os.utime(scenario, (time.time() + 60, time.time() + 60))
    wait.until(lambda d: file_has(os.path.join(base, "korvd.log"), "# Global Zed: said before the login"))
    driver.find_element(By.ID, "logout").click()
    login("admin", "secret")
    tab("chat")
    wait.until(lambda d: "said before the login" in text_of("chat"))
    assert driver.find_elements(By.CSS_SELECTOR, "#chat li.earlier")
    tab("players")
    wait.until(lambda d: "Zed" in text_of("players"))
    click("#reason-preset option[value*='Team killing']")
    assert driver.find_element(By.ID, "player-reason").get_attribute("value") == "Team killing"
    assert driver.find_element(By.ID, "ban-duration").get_attribute("value") == "86400"
    driver.find_element(By.ID, "player-text").send_keys("calm down")
    click("[aria-label='Message Zed']")
    wait.until(lambda d: outcome_after("msg-button") == "server message sent")
    wait.until(lambda d: file_has(messages, "[KORV] Zed calm down"))


def player_history():
    """Mike's page from the players table (the kick made earlier, then a hostile
    note added), Bob's from his chat line (his ban)."""
    tab("players")
    click("[aria-label='History of Mike']")
    wait.until(lambda d: "camping" in text_of("history-out"))
    kick = [r.text.split("\n")[0] for r in driver.find_elements(By.CSS_SELECTOR, "#history-out tr") if " kick " in r.text]
    assert len(kick) == 1 and kick[0].endswith(" kick admin camping"), kick
    assert driver.find_element(By.XPATH, "//td[text()='kick']/preceding-sibling::td").get_attribute("title")
    note = "<script>alert(1)</script> \"quoted\" \\ note"
    driver.find_element(By.CSS_SELECTOR, "[aria-label='Note on 3c0ffee03c0ffee03c0ffee03c0ffee0']").send_keys(note + "\n")
    # Written as text: the page holds no script but its own.
    wait.until(lambda d: note in text_of("history-out") and "note added" in text_of("history-out"))
    assert not driver.find_elements(By.CSS_SELECTOR, "#history-out script")
    tab("chat")
    click("#chat button.who")
    wait.until(lambda d: "Bob" in text_of("history-out") and " ban admin camping" in driver.find_element(By.ID, "history-out").text)


messages = os.path.join(os.path.dirname(scenario), "message.log")
try:
    driver.set_window_size(1280, 900)
    driver.get(url)
    # The console stays out of sight and out of the tab order until a login.
    assert not driver.find_element(By.ID, "console").is_displayed()
    login("admin", "wrong")
    wait.until(lambda d: "wrong user name or password" in text_of("login-error"))
    # A failed login makes the client and the account wait a second.
    time.sleep(1.2)
    login("admin", "secret")
    wait.until(lambda d: d.find_elements(By.ID, "tab-players"))
    wait.until(lambda d: " of " in text_of("summary") and "players" in text_of("summary"))
    tab("players")
    wait.until(lambda d: "Mike" in text_of("players"))
    driver.find_element(By.ID, "player-reason").send_keys("camping")
    click("[aria-label='Kick Mike']")
    wait.until(lambda d: outcome_after("kick-button") == "player kicked: Mike")
    # The player left: no longer selected. A ban asks first, with the name and the span picked.
    wait.until(lambda d: "Mike" not in text_of("players") and text_of("player-selected") == "Select a player")
    Select(driver.find_element(By.ID, "ban-duration")).select_by_visible_text("1 day")
    click("[aria-label='Ban Bob']")
    wait.until(expected_conditions.alert_is_present())
    assert driver.switch_to.alert.text == "Ban Bob for 1 day?", driver.switch_to.alert.text
    driver.switch_to.alert.accept()
    wait.until(lambda d: outcome_after("ban-button") == "player banned: Bob")

    tab("chat")
    assert outcome_after("kick-button") == ""
    with open(scenario, "w") as f:
        f.write(players + "chat Bob: hello from the game\n")
    # A later modification time, so gamesim notices the change at once.
    later = time.time() + 30
    os.utime(scenario, (later, later))
    wait.until(lambda d: "[all]Bob: hello from the game" in text_of("chat"))
    player_history()

    tab("maps")
    # The game directory has no levels to discover: the page is given one map, conquest or CTF.
    driver.execute_script(
        "maps = [['bf1942', 'el_alamein', '5']]; $('map-pick').add(new Option('el_alamein', 0)); pickModes();")
    Select(driver.find_element(By.ID, "mode-pick")).select_by_value("GPM_CTF")
    driver.find_element(By.CSS_SELECTOR, "[data-mapcmd=change_map]").click()
    wait.until(lambda d: file_has(messages, "admin.changeMap el_alamein GPM_CTF bf1942"))

    # Two administrators: the edited setting is kept and marked, the other one follows.
    other = OtherAdmin()
    tab("settings")
    name = driver.find_element(By.NAME, "game.serverName")
    name.clear()
    name.send_keys("Browser Renamed")
    other.post("/api/settings", {"values": {"game.serverName": "Other Name", "game.serverMaxPlayers": "20"}})
    wait.until(lambda d: d.find_element(By.NAME, "game.serverMaxPlayers").get_attribute("value") == "20")
    assert name.get_attribute("value") == "Browser Renamed"
    assert "conflict" in name.get_attribute("class")
    driver.find_element(By.ID, "settings-save").click()
    wait.until(expected_conditions.alert_is_present())
    alert = driver.switch_to.alert.text
    assert 'Server name (game.serverName): "Other Name" \u2192 "Browser Renamed"' in alert.replace("\u201c", '"').replace("\u201d", '"'), alert
    assert "Another administrator changed game.serverName" in alert, alert
    driver.switch_to.alert.accept()
    wait.until(lambda d: outcome_after("settings-save") == "settings saved")
    driver.find_element(By.ID, "settings-search").send_keys("maxplay")
    assert driver.find_element(By.NAME, "game.serverMaxPlayers").is_displayed()
    assert not driver.find_element(By.NAME, "game.serverPort").is_displayed()

    tab("banned_words")
    area = wait.until(lambda d: d.find_element(By.ID, "text-banned_words"))
    area.send_keys("mine\n")
    other.post("/api/file/banned_words", {"text": "theirs\n"})
    wait.until(lambda d: "another administrator changed" in outcome_after("save-banned_words"))
    driver.find_element(By.ID, "save-banned_words").click()
    wait.until(expected_conditions.alert_is_present())
    driver.switch_to.alert.dismiss()
    wait.until(lambda d: "not saved" in outcome_after("save-banned_words"))

    tab("schedule")
    driver.find_element(By.ID, "ev-action").send_keys("Stop")
    driver.find_element(By.ID, "ev-add").click()
    driver.find_element(By.ID, "schedule-save").click()
    wait.until(lambda d: outcome_after("schedule-save") == "schedule saved")
    wait.until(lambda d: "every day at 04:00" in text_of("schedule") and "after saving" not in text_of("schedule"))
    assert "04:00:00" in text_of("schedule") and "in " in text_of("schedule"), text_of("schedule")

    tab("bans")
    for element_id, value in (("nb-address", "10.9.8.7"), ("nb-reason", "by hand")):
        driver.find_element(By.ID, element_id).send_keys(value)
    Select(driver.find_element(By.ID, "nb-duration")).select_by_visible_text("1 day")
    driver.find_element(By.ID, "nb-add").click()
    wait.until(expected_conditions.alert_is_present())
    assert driver.switch_to.alert.text == "Ban 10.9.8.7 for 1 day?", driver.switch_to.alert.text
    driver.switch_to.alert.accept()
    wait.until(lambda d: "10.9.8.7" in text_of("bans"))
    wait.until(lambda d: [r.find_elements(By.TAG_NAME, "td")[6].text for r in d.find_elements(By.CSS_SELECTOR, "#bans tr")
                          if "10.9.8.7" in r.text] == ["in 1 day"])
    driver.find_element(By.ID, "ban-search").send_keys("10.9.8")
    assert len(driver.find_elements(By.CSS_SELECTOR, "#bans tr")) == 2
    driver.find_element(By.CSS_SELECTOR, "[data-action=verify_bans]").click()
    wait.until(lambda d: "ban lists" in outcome_after("ban-search"))

    tab("console")
    driver.find_element(By.ID, "console-text").send_keys("admin.listPlayers\n")
    wait.until(lambda d: outcome_after("console-send") == "console command sent")
    driver.find_element(By.ID, "console-text").send_keys(Keys.ARROW_UP)
    assert driver.find_element(By.ID, "console-text").get_attribute("value") == "admin.listPlayers"

    tab("accounts")
    wait.until(lambda d: "other" in text_of("accounts"))
    assert "admin" in text_of("accounts")
    driver.find_element(By.ID, "ac-user").send_keys("helper")
    driver.find_element(By.ID, "ac-password").send_keys("pw")
    for bit in (5, 7):
        driver.find_element(By.ID, "ac-bit%d" % bit).click()
    driver.find_element(By.ID, "ac-create").click()
    wait.until(lambda d: outcome_after("ac-create") == "account helper created")
    wait.until(lambda d: "sgfiaTmPbuhc" in text_of("accounts"))
    click("[aria-label='Delete helper']")
    wait.until(expected_conditions.alert_is_present())
    driver.switch_to.alert.accept()
    wait.until(lambda d: "helper" not in text_of("accounts"))

    # The log, searched: the admin's own actions under the admin's own name.
    tab("log")
    driver.find_element(By.ID, "log-search").send_keys("changed the map")
    wait.until(lambda d: "User admin at" in text_of("log"))
    assert all("changed the map" in line for line in text_of("log").split("\n")), text_of("log")

    check_words_ban_edit_and_phone()
    earlier_chat_menu_reason_and_message()

    # A phone: the tabs become a menu, and nothing scrolls sideways.
    driver.set_window_size(390, 844)
    wait.until(lambda d: d.find_element(By.ID, "tab-menu").is_displayed())
    for view in ("players", "settings", "schedule", "bans", "console", "accounts"):
        Select(driver.find_element(By.ID, "tab-menu")).select_by_value("view-" + view)
        assert driver.find_element(By.ID, "view-" + view).is_displayed(), view
        assert fits_the_width(), view
    driver.set_window_size(1280, 900)

    driver.find_element(By.ID, "logout").click()
    wait.until(lambda d: driver.find_element(By.ID, "login").is_displayed())
    assert not driver.find_element(By.ID, "console").is_displayed()
    for element_id in ("players", "chat", "tabs", "events", "settings-form", "schedule"):
        assert text_of(element_id) == "", element_id
    login("mod", "secret")
    wait.until(lambda d: driver.find_element(By.ID, "console").is_displayed())
    assert not driver.find_element(By.CSS_SELECTOR, "[data-action=stop]").is_displayed()
    assert not driver.find_elements(By.ID, "tab-schedule")
    driver.execute_script("act('stop')")
    wait.until(lambda d: text_of("message").startswith("refused: this account lacks"))

    # The daemon drops the page's session: the page says so in words, and a new login works.
    admin = [korvctl, "-p", daemon_port, "-u", "admin", "--password", "secret", "--json"]
    listed = json.loads(subprocess.run(admin + ["clients"], capture_output=True, text=True).stdout)
    slot = next(c["slot"] for c in listed["clients"] if c["user"] == "mod")
    subprocess.run(admin + ["disconnect", slot], check=True, capture_output=True)
    driver.execute_script("act('restart_map')")
    wait.until(lambda d: driver.find_element(By.ID, "login").is_displayed())
    assert "the daemon closed this session; log in again" in text_of("message"), text_of("message")
    login("mod", "secret")
    wait.until(lambda d: driver.find_element(By.ID, "console").is_displayed())
    print("browser check passed")
except Exception:
    print("events:", text_of("events"), "| message:", text_of("message"), "| outcomes:",
          [e.get_attribute("textContent") for e in driver.find_elements(By.CLASS_NAME, "outcome")])
    raise
finally:
    driver.quit()
