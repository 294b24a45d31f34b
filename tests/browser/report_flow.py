#!/usr/bin/python3
"""A real run of the desktop program against the tests' INN, reported through a real browser.

  report_flow.py NEWSBENCH REPORTD OUTPUT_DIR
  report_flow.py --pages REPORTD OUTPUT_DIR

Runs `newsbench --run 127.0.0.1[:PORT] --name テスト局 --format url`, points the report address at a
newsbench-reportd started here, opens it in headless Chromium, checks the confirmation page
against the address's values, presses 登録, finds the server in the ranking and its chart on
its page, and leaves screenshots in OUTPUT_DIR. Then, as with --pages, which needs no news
server, it reports made-up runs of several servers the same way and checks the ranking and a
server's page on a 1280 px screen and a 390 px phone: the page never scrolls sideways, and the
table's last column is in view or in a box that scrolls to it. One of them also measured article
speed: its figures, its place in the ranking's article columns and its chart of speed against
connections are checked.
"""
import os
import re
import subprocess
import sys
import tempfile
import urllib.parse

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support import expected_conditions
from selenium.webdriver.support.ui import WebDriverWait

NAME = "テスト局"
# Width, height, a phone; and whether the whole table must fit without scrolling.
SCREENS = {"desktop": (1280, 900, False, True), "phone": (390, 844, True, False)}

# Where the last cell of the table's first row ends up: in view by itself, or in view once
# the box that scrolls it sideways is scrolled to the end. Also whether the page itself is
# wider than the screen.
LAST_COLUMN_SCRIPT = """
const table = document.querySelector('table.ranking');
const cells = table.querySelectorAll('tbody tr:first-child td');
const cell = cells[cells.length - 1];
const heading = table.querySelector('thead tr:first-child th:last-child');
const screen = document.documentElement.clientWidth;
// Seen: within the screen and the box, and not covered by anything (a column that stays
// in place while the rest scrolls under it, for one).
const seen = (e, box) => {
  const r = e.getBoundingClientRect();
  const edge = box ? box.getBoundingClientRect() : {left: 0, right: screen};
  if (r.width <= 0 || r.left < Math.max(edge.left, 0) - 1 || r.right > Math.min(edge.right, screen) + 1)
    return false;
  const top = document.elementFromPoint(r.left + r.width / 2, r.top + r.height / 2);
  return top !== null && (top === e || e.contains(top));
};
cell.scrollIntoView({block: 'center', inline: 'nearest'});
window.scrollTo(0, window.scrollY);
let box = null;
for (let e = cell.parentElement; e && e !== document.body; e = e.parentElement) {
  const overflow = getComputedStyle(e).overflowX;
  if ((overflow === 'auto' || overflow === 'scroll') && e.scrollWidth > e.clientWidth) {
    box = e;
    break;
  }
}
if (box)
  box.scrollLeft = 0;
const result = {fits: seen(cell, null) && seen(heading, null), scrollBox: box !== null,
                headingText: heading.textContent};
if (box)
  box.scrollLeft = box.scrollWidth;
result.cell = seen(cell, box);
result.heading = seen(heading, box);
if (box)
  box.scrollLeft = 0;
result.pageWidth = document.documentElement.scrollWidth;
result.screenWidth = screen;
return result;
"""


def sample_server_address():
    """127.0.0.1, with the sample news server's port where it is not 119."""
    script = os.path.join(os.path.dirname(__file__), "..", "..", "scripts", "inn", "sample-server.sh")
    info = subprocess.run([script, "info"], capture_output=True, text=True, timeout=30, check=True)
    port = dict(line.split("=", 1) for line in info.stdout.splitlines() if "=" in line)["plain"]
    return "127.0.0.1" if port == "119" else f"127.0.0.1:{port}"


def report_address(newsbench):
    run = subprocess.run([newsbench, "--run", sample_server_address(), "--name", NAME, "--format", "url"],
                         capture_output=True, timeout=120, check=True,
                         env={"QT_QPA_PLATFORM": "offscreen", "PATH": "/usr/bin:/bin"})
    address = run.stdout.strip()
    assert address.count(b"\n") == 0 and b"/benchreport.php3?" in address, address
    return address


def made_up_query(name, server, speed, expire_afj):
    """The query a run of `server` would send: the program's keys, its name in Shift-JIS."""
    fields = [("Name", name), ("Type", "1"), ("Server", server), ("Post", "1"), ("Groups", "48213"),
              ("Speed", str(speed)), ("CountABPE", "124"), ("CountAS", "312"), ("CountJBPE", "45"),
              ("CountAFJ", "12"), ("CountABME", "87"), ("ExpireABPE", "10"), ("ExpireAS", "1460"),
              ("ExpireJBPE", "7"), ("ExpireAFJ", str(expire_afj)), ("ExpireABME", "9")]
    return "&".join(f"{key}={urllib.parse.quote(value.encode('shift_jis'), safe=':/[]')}"
                    for key, value in fields)


def article_keys(steps, knee):
    """The article keys a run that measured article speed would add: its complete steps as
    (connections, bytes per second), its best worked out as the program does."""
    best, best_connections = 0, 0
    for connections, bps in steps:
        if bps > best:
            best, best_connections = bps, connections
    fields = [("ArticleSpeed", best), ("ArticleConnections", best_connections), ("Knee", knee),
              ("Connections", steps[-1][0]), ("MoreRefused", 0), ("GreetingMs", 18), ("StatMs", 6),
              ("ArticlesAsked", 412), ("ArticlesFound", 409), ("ArticleBytes", 187654321),
              ("ArticleEnd", "knee" if knee else "maximum"),
              ("ArticleSteps", ",".join(f"{c}:{b}" for c, b in steps))]
    return "&" + "&".join(f"{key}={value}" for key, value in fields)


def start_service(reportd, folder):
    service = subprocess.Popen([reportd, "--listen", "127.0.0.1:0", "--database", f"{folder}/reports.sqlite"],
                               stdout=subprocess.PIPE, text=True)
    port = re.search(r"http://127\.0\.0\.1:(\d+)/", service.stdout.readline()).group(1)
    return service, f"http://127.0.0.1:{port}"


def browser(folder):
    options = webdriver.ChromeOptions()
    options.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", f"--user-data-dir={folder}/profile", "--window-size=1280,1000",
                 "--lang=ja"):
        options.add_argument(flag)
    return webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)


def use_screen(driver, screen):
    width, height, mobile, _ = SCREENS[screen]
    driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                           {"width": width, "height": height, "deviceScaleFactor": 1, "mobile": mobile})


def submit(driver, base, query):
    driver.get(f"{base}/benchreport.php3?{query}")
    driver.find_element(By.XPATH, "//button[text()='登録']").click()
    WebDriverWait(driver, 20).until(expected_conditions.url_matches(r"/servers/\d+$"))
    return driver.current_url


def check_layouts(driver, base, output):
    """The ranking and a server's page on each screen, with a screenshot of each."""
    servers = [("テスト局", "news.example.net", 3785994, 30),
               ("とても長い名前のインターネット・サービス・プロバイダ株式会社 ニュース", "nntps://news.very-long-provider-name.example.co.jp:5563", 1250000000, -1),
               ("Open News", "[2001:db8::119]", 812345, 14),
               ("オープン局", "open.example.org", 45210, 7305)]
    server_page = None
    for name, server, speed, expire_afj in servers:
        page = submit(driver, base, made_up_query(name, server, speed, expire_afj))
        server_page = server_page or page
    article_page = check_articles(driver, base, output)
    for screen in SCREENS:
        use_screen(driver, screen)
        for page, address in (("ranking", f"{base}/"), ("server", server_page),
                              ("articles", article_page)):
            driver.get(address)
            layout = driver.execute_script(LAST_COLUMN_SCRIPT)
            where = f"{page} on the {screen} screen: {layout}"
            driver.save_screenshot(f"{output}/pages-{page}-{screen}.png")
            assert layout["pageWidth"] <= layout["screenWidth"], "the page scrolls sideways, " + where
            assert layout["cell"] and layout["heading"], "the last column cannot be reached, " + where
            if page == "ranking" and SCREENS[screen][3]:
                assert layout["fits"], "the ranking does not fit the screen, " + where
            if page == "ranking":
                assert layout["headingText"].startswith("最終計測"), where
                assert "—" in driver.find_element(By.CSS_SELECTOR, "table.ranking").text, where
                headings = driver.find_element(By.CSS_SELECTOR, "table.ranking thead").text
                assert "記事の速度" in headings and "頭打ち" in headings, headings
            if page == "articles":
                chart = driver.find_elements(By.CSS_SELECTOR, "figure.steps svg.chart")
                assert len(chart) == 1 and chart[0].is_displayed(), where
                assert chart[0].rect["width"] <= layout["screenWidth"], where
                driver.execute_script("arguments[0].scrollIntoView()", chart[0])
                driver.save_screenshot(f"{output}/pages-articles-chart-{screen}.png")
            print(f"{where}: ok")
    use_screen(driver, "desktop")


def check_articles(driver, base, output):
    """A run that measured article speed: its figures on the confirmation page, its speed and
    knee in the ranking, its steps charted on its page. Gives the server page's address."""
    steps = [(1, 1843200), (2, 3512000), (4, 6120000), (8, 9870000), (16, 10012000)]
    query = made_up_query("記事局", "articles.example.net", 2456000, 21) + article_keys(steps, 16)
    driver.get(f"{base}/benchreport.php3?{query}")
    shown = {row.find_element(By.TAG_NAME, "th").text: row.find_element(By.TAG_NAME, "td").text
             for row in driver.find_elements(By.CSS_SELECTOR, "table.values tr")}
    assert shown["記事の速度（最大）"] == "10012000 byte/sec（16 接続）", shown
    assert shown["16 接続"] == "10012000 byte/sec", shown
    assert shown["速度が伸びなくなる接続数"] == "16 接続", shown
    driver.save_screenshot(f"{output}/pages-articles-confirm.png")
    driver.find_element(By.XPATH, "//button[text()='登録']").click()
    WebDriverWait(driver, 20).until(expected_conditions.url_matches(r"/servers/\d+$"))
    page = driver.current_url
    charts = driver.find_elements(By.CSS_SELECTOR, "svg.chart")
    assert len(charts) == 3 and all(chart.is_displayed() for chart in charts), charts
    points = driver.find_elements(By.CSS_SELECTOR, "figure.steps svg.chart circle")
    assert len(points) == len(steps) and all(p.is_displayed() for p in points), points
    labels = [t.text for t in driver.find_elements(By.CSS_SELECTOR, "figure.steps svg.chart text.xlabel")]
    assert labels == [str(c) for c, _ in steps], labels

    driver.get(f"{base}/?sort=articlespeed")
    rows = driver.find_elements(By.CSS_SELECTOR, "table.ranking tbody tr")
    assert "articles.example.net" in rows[0].text and "10,012,000" in rows[0].text, rows[0].text
    assert rows[-1].text.count("—") >= 2, rows[-1].text
    return page


def run_flow(newsbench, driver, base, output):
    address = report_address(newsbench)
    query = address.split(b"?", 1)[1]
    values = dict(urllib.parse.parse_qsl(query.decode("ascii"), encoding="shift_jis"))
    assert values["Name"] == NAME, values

    driver.get(f"{base}/benchreport.php3?{query.decode('ascii')}")
    shown = {row.find_element(By.TAG_NAME, "th").text: row.find_element(By.TAG_NAME, "td").text
             for row in driver.find_elements(By.CSS_SELECTOR, "table.values tr")}
    assert shown["サービス名"] == NAME, shown
    assert shown["アドレス"] == values["Server"], shown
    assert shown["総グループ数"] == values["Groups"], shown
    assert shown["平均速度"] == values["Speed"] + " byte/sec", shown
    expire_as = "—" if values["ExpireAS"] == "-1" else values["ExpireAS"] + " 日"
    assert shown["alt.sex.*"] in (values["CountAS"] + " groups", expire_as), shown
    driver.save_screenshot(f"{output}/report-flow-1-confirm.png")

    driver.find_element(By.XPATH, "//button[text()='登録']").click()
    WebDriverWait(driver, 20).until(expected_conditions.url_matches(r"/servers/\d+$"))
    charts = driver.find_elements(By.CSS_SELECTOR, "svg.chart")
    # A third, of speed against connections, when the run measured article speed.
    assert len(charts) in (2, 3) and all(chart.is_displayed() for chart in charts), charts
    points = driver.find_elements(By.CSS_SELECTOR, "svg.chart circle")
    assert len(points) >= 2 and points[0].is_displayed(), points
    assert driver.find_element(By.TAG_NAME, "h1").text == values["Server"]
    driver.save_screenshot(f"{output}/report-flow-2-server.png")

    driver.get(f"{base}/")
    row = driver.find_element(By.CSS_SELECTOR, "table.ranking tbody tr")
    assert values["Server"] in row.text and NAME in row.text, row.text
    driver.save_screenshot(f"{output}/report-flow-3-ranking.png")


def main(newsbench, reportd, output):
    with tempfile.TemporaryDirectory() as folder:
        service, base = start_service(reportd, folder)
        driver = browser(folder)
        try:
            driver.set_page_load_timeout(30)
            if newsbench:
                run_flow(newsbench, driver, base, output)
            check_layouts(driver, base, output)
        finally:
            driver.quit()
            service.terminate()
            service.wait(10)
    print(f"{'report flow and ' if newsbench else ''}page checks passed; screenshots in {output}")


if __name__ == "__main__":
    if len(sys.argv) == 4 and sys.argv[1] == "--pages":
        main(None, *sys.argv[2:])
    elif len(sys.argv) == 4:
        main(*sys.argv[1:])
    else:
        sys.exit(__doc__)
