#!/usr/bin/python3
"""A real run of the desktop program against the tests' INN, reported through a real browser.

  report_flow.py NEWSBENCH REPORTD OUTPUT_DIR

Runs `newsbench --run 127.0.0.1[:PORT] --name テスト局 --format url`, points the report address at a
newsbench-reportd started here, opens it in headless Chromium, checks the confirmation page
against the address's values, presses 登録, finds the server in the ranking and its chart on
its page, and leaves screenshots in OUTPUT_DIR.
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


def main(newsbench, reportd, output):
    address = report_address(newsbench)
    query = address.split(b"?", 1)[1]
    values = dict(urllib.parse.parse_qsl(query.decode("ascii"), encoding="shift_jis"))
    assert values["Name"] == NAME, values

    with tempfile.TemporaryDirectory() as folder:
        service, base = start_service(reportd, folder)
        driver = browser(folder)
        try:
            driver.set_page_load_timeout(30)
            driver.get(f"{base}/benchreport.php3?{query.decode('ascii')}")
            shown = {row.find_element(By.TAG_NAME, "th").text: row.find_element(By.TAG_NAME, "td").text
                     for row in driver.find_elements(By.CSS_SELECTOR, "table.values tr")}
            assert shown["サービス名"] == NAME, shown
            assert shown["アドレス"] == values["Server"], shown
            assert shown["総グループ数"] == values["Groups"], shown
            assert shown["平均速度"] == values["Speed"] + " byte/sec", shown
            assert shown["alt.sex.*"] in (values["CountAS"] + " groups", values["ExpireAS"] + " 日"), shown
            driver.save_screenshot(f"{output}/report-flow-1-confirm.png")

            driver.find_element(By.XPATH, "//button[text()='登録']").click()
            WebDriverWait(driver, 20).until(expected_conditions.url_matches(r"/servers/\d+$"))
            charts = driver.find_elements(By.CSS_SELECTOR, "svg.chart")
            assert len(charts) == 2 and all(chart.is_displayed() for chart in charts), charts
            points = driver.find_elements(By.CSS_SELECTOR, "svg.chart circle")
            assert len(points) >= 2 and points[0].is_displayed(), points
            assert driver.find_element(By.TAG_NAME, "h1").text == values["Server"]
            driver.save_screenshot(f"{output}/report-flow-2-server.png")

            driver.get(f"{base}/")
            row = driver.find_element(By.CSS_SELECTOR, "table.ranking tbody tr")
            assert values["Server"] in row.text and NAME in row.text, row.text
            driver.save_screenshot(f"{output}/report-flow-3-ranking.png")
        finally:
            driver.quit()
            service.terminate()
            service.wait(10)
    print(f"report flow passed; screenshots in {output}")


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
