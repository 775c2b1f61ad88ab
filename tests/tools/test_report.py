"""``kestrilune report`` and ``converge --report``: one HTML page, opened in headless
Chromium: it renders every section without a console error, shows the numbers of
``converge --json`` for the same runs, and its tree-space map holds and names its trees."""

import json
import os
import re
import shutil
from pathlib import Path

import pytest

from kestrilune_tools.console import cli
import numpy as np

from kestrilune_tools.pictures.report.page import json_block
from kestrilune_tools.pictures.report.svg import extremes

DATA = Path(__file__).parents[1] / "data" / "converge"
PRIMATES = str(DATA / "primates2" / "primates2")
SECTIONS = ["verdict", "traces", "asdsf-trace", "split-scatter", "topologies", "consensus",
            "map", "record"]


@pytest.fixture(scope="module")
def made(tmp_path_factory):
    """The page and the JSON of one converge run, and the page of kestrilune report."""
    d = tmp_path_factory.mktemp("report")
    assert cli.main(["converge", PRIMATES, "--diagn-every", "10000", "--json",
                     str(d / "d.json"), "--report", str(d / "c.html"), "--quiet"]) == 0
    assert cli.main(["report", PRIMATES, "--diagn-every", "10000", "-o",
                     str(d / "r.html"), "--quiet"]) == 0
    return d


def _split(text):
    """The page without its time stamp, and its map data with each axis up to its sign
    (an axis' sign is arbitrary, and ties among identical trees can turn it)."""
    page = re.sub(r"<p>Made .*?</p>", "", text)
    a = page.index('id="map-data">') + len('id="map-data">')
    b = page.index("</script>", a)
    data = json.loads(page[a:b])
    data["x"], data["y"] = [abs(v) for v in data["x"]], [abs(v) for v in data["y"]]
    return page[:a] + page[b:], data


def test_report_command_writes_the_converge_page_offline(made):
    page = (made / "c.html").read_text()
    assert _split(page) == _split((made / "r.html").read_text())
    # Nothing is fetched when it opens: no external script, style, image or font.
    assert not re.search(r"<(script|img|link|iframe)[^>]+(src|href)=", page)
    assert not re.search(r"https?://", page.replace("http://www.w3.org/2000/svg", ""))
    # The record: every input with its size and SHA-256.
    for name in ("primates2.run1.t.gz", "primates2.run2.t.gz", "primates2.run1.p.gz"):
        assert name in page
    assert len(re.findall(r"<code>[0-9a-f]{64}</code>", page)) == 4


@pytest.mark.parametrize("argv, message", [
    (["report", PRIMATES, "-o", "x.png"], "x.png"),
    (["report", PRIMATES], "-o"),
])
def test_report_refuses_a_bad_output(argv, message, tmp_path, monkeypatch, capsys):
    monkeypatch.chdir(tmp_path)
    assert cli.main(argv) == 2
    assert message in capsys.readouterr().err
    assert not list(tmp_path.iterdir())


def test_data_cannot_close_the_script_block():
    block = json_block("x", {"name": "</script><script>alert(1)</script>&"})
    assert block.count("</script>") == 1 and "<script>alert" not in block
    assert json.loads(block[block.index(">") + 1:-len("</script>")])["name"].endswith("&")


@pytest.mark.parametrize("n, spike", [(7, 3), (1000, 517), (100_003, 99_998), (10_000, 0)])
def test_a_thinned_trace_keeps_its_ends_and_its_spikes(n, spike):
    y = np.sin(np.arange(n) / 50.0)
    y[spike] = 100.0
    keep = extremes(y, 250)
    assert len(keep) <= (n if n <= 500 else 502)  # 2 per stretch and the two ends
    assert keep[0] == 0 and keep[-1] == n - 1 and spike in keep
    assert (np.diff(keep) > 0).all()


# ----------------------------------------------------------------------------- browser


@pytest.fixture(scope="module")
def browser():
    webdriver = pytest.importorskip("selenium.webdriver", reason="selenium is not installed")
    chromium = shutil.which("chromium") or shutil.which("chromium-browser")
    driver_path = shutil.which("chromedriver")
    if not chromium or not driver_path:
        pytest.skip("no chromium or chromedriver (Debian: apt-get install chromium "
                    "chromium-driver)")
    opts = webdriver.ChromeOptions()
    opts.binary_location = chromium
    for a in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
              "--window-size=1280,1000"):
        opts.add_argument(a)
    opts.set_capability("goog:loggingPrefs", {"browser": "ALL"})
    from selenium.webdriver.chrome.service import Service

    # The browser is not ours to sanitize: a sanitizer runtime preloaded into this test
    # run (scripts/run_sanitized_tests.sh) must not reach it.
    env = {k: v for k, v in os.environ.items()
           if k not in ("LD_PRELOAD", "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS",
                        "TSAN_OPTIONS", "PYTHONMALLOC")}
    driver = webdriver.Chrome(options=opts, service=Service(driver_path, env=env))
    yield driver
    driver.quit()


@pytest.fixture
def opened(browser, made):
    browser.set_window_size(1280, 1000)
    browser.get((made / "c.html").as_uri())
    browser.get_log("browser")  # start each test with an empty console
    browser.refresh()
    return browser


def _js(driver, script, *args):
    return driver.execute_script(script, *args)


def test_every_section_renders_without_console_error(opened):
    errors = [e for e in opened.get_log("browser") if e["level"] in ("SEVERE", "WARNING")]
    assert errors == []
    shown = _js(opened, "return [...document.querySelectorAll('section')].map("
                        "s => [s.id, s.getBoundingClientRect().height])")
    assert [s for s, _ in shown] == SECTIONS
    assert all(h > 40 for _, h in shown)
    # one trace per parameter and the topological one, one scatter for two runs
    assert _js(opened, "return document.querySelectorAll('#traces svg.chart').length") == 15
    assert _js(opened, "return document.querySelectorAll('#split-scatter circle').length") == 9


def test_numbers_on_the_page_are_those_of_converge_json(opened, made):
    want = json.loads((made / "d.json").read_text())
    cells = _js(opened, "return [...document.querySelectorAll('[data-key]')].map("
                        "e => [e.dataset.key, e.dataset.value, e.textContent])")
    assert len(cells) > 50
    for key, value, text in cells:
        v = want
        for k in json.loads(key):
            v = v[k]
        assert (None if value == "null" else float(value)) == v, key
        if v is not None and "." in text:  # the text shown rounds the same number
            digits = len(text.split(".")[-1].rstrip("*"))
            assert text.endswith(f"{v:.{digits}f}"), (key, text)


def test_map_holds_the_points_it_states_and_names_them(opened):
    stated = int(opened.find_element("css selector", "#map-count b").get_attribute("data-count"))
    dots = opened.find_elements("css selector", "#map-svg circle")
    data = json.loads(opened.find_element("id", "map-data").get_attribute("textContent"))
    assert stated == len(dots) == len(data["name"]) == 752  # 2 runs x 376 after the burn-in
    from selenium.webdriver import ActionChains

    ActionChains(opened).move_to_element(dots[-1]).perform()  # the last drawn is on top
    tip = opened.find_element("id", "map-tip")
    assert tip.is_displayed() and data["name"][-1] in tip.text and "LnL" in tip.text
    assert {data["name"][0].split(":")[0], data["name"][1].split(":")[0]} == {
        "primates2.run1.t.gz", "primates2.run2.t.gz"}  # runs drawn in turn
    far = max(range(len(dots)), key=lambda i: abs(data["x"][i]))
    before = dots[far].get_attribute("cx")
    opened.find_element("id", "map-in").click()
    assert dots[far].get_attribute("cx") != before
    opened.find_element("id", "map-reset").click()
    assert dots[far].get_attribute("cx") == before
    from selenium.webdriver.support.ui import Select

    fills = {}
    for how in ("run", "gen", "lnl"):  # colour by run, generation, log-likelihood
        Select(opened.find_element("id", "map-colour")).select_by_value(how)
        fills[how] = _js(opened, "return [...document.querySelectorAll('#map-svg circle')]"
                                 ".map(c => c.getAttribute('fill'))")
    assert len(set(fills["run"])) == 2 and len(set(fills["gen"])) > 50
    assert fills["lnl"] != fills["gen"] and opened.get_log("browser") == []


@pytest.mark.parametrize("inputs, scatters, hpd_bars", [
    (["cynmix3/cynmix3"], 2, 0),  # three runs: run 1 against each other
    (["primates2/primates2.run1.t.gz"], 0, 0),  # one run: nothing across runs
    # dated BEAST 2 runs: the consensus as a time tree, a bar at each of its 5 inner nodes
    (["beast2_relaxed.run1.trees.gz", "beast2_relaxed.run2.trees.gz", "--rooted"], 1, 5),
])
def test_other_analyses_render_without_console_error(browser, tmp_path, inputs, scatters,
                                                      hpd_bars):
    page = tmp_path / "p.html"
    assert cli.main(["report", *(i if i.startswith("-") else str(DATA / i) for i in inputs),
                     "-o", str(page), "--quiet"]) == 0
    browser.get(page.as_uri())
    assert browser.get_log("browser") == []
    shown = _js(browser, "return document.querySelectorAll('#split-scatter figure').length")
    assert shown == scatters
    assert _js(browser, "return document.querySelectorAll('#dated-tree rect.hpd').length") \
        == hpd_bars
    assert _js(browser, "return document.querySelectorAll('#map-svg circle').length") == \
        int(browser.find_element("css selector", "#map-count b").get_attribute("data-count"))


def test_layout_holds_at_two_widths_and_prints(opened):
    def structure():
        return _js(opened, """
            const w = document.documentElement.clientWidth;
            const wide = s => [...s.querySelectorAll('table, figure, pre, p')].some(
                e => e.getBoundingClientRect().right > s.getBoundingClientRect().right + 1);
            return {page: document.documentElement.scrollWidth <= w,
                    overflow: [...document.querySelectorAll('section')].filter(
                        s => s.getBoundingClientRect().right > w + 1 || wide(s)).map(s => s.id),
                    charts: [...document.querySelectorAll('section')].map(
                        s => [s.id, s.querySelectorAll('svg, table, pre').length])};""")

    wide = structure()
    opened.set_window_size(800, 1000)
    narrow = structure()
    assert wide == narrow and wide["page"] and wide["overflow"] == []
    opened.execute_cdp_cmd("Emulation.setEmulatedMedia", {"media": "print"})
    assert structure() == wide  # printed, nothing is cut at the right either
    pdf = opened.execute_cdp_cmd("Page.printToPDF", {"printBackground": True})
    assert pdf["data"].startswith("JVBERi")  # %PDF
