"""The whole proofreading loop in a real browser (Debian's Chromium driven through its driver): an
identity swap made on purpose in the demo's run is found in the queue, swapped back in one action,
and the run scores against the demo's true tracks as it did before the swap. The run's frame
folders are gone, so every frame shown or rendered is decoded again from its recording."""

import contextlib
import glob
import io
import json
import itertools
import math
import os
import shutil

import pandas as pd
import pytest

CHROMIUM, DRIVER = shutil.which("chromium"), shutil.which("chromedriver")


def _evaluate(out, truth):
    from herdmask.app import cli

    with contextlib.redirect_stdout(io.StringIO()):
        assert cli.main(["evaluate", str(out), str(truth), "--out", str(out / "scores")]) == 0
    return pd.read_csv(out / "scores" / "evaluation.csv", index_col=0).loc["OVERALL"]


def _far_pair(view, link, frame):
    objects = view.frame_objects(link, frame)[1]
    centre = {k: ((b[0] + b[2]) / 2, (b[1] + b[3]) / 2) for k, b in objects}
    return max(itertools.combinations(sorted(centre), 2), key=lambda p: math.dist(centre[p[0]], centre[p[1]]))


@pytest.mark.skipif(not (CHROMIUM and DRIVER), reason="needs Debian's chromium and chromium-driver "
                                                      "(scripts/install_deps.sh installs them)")
def test_a_swap_is_found_and_undone_in_the_browser(tiny_demo, tmp_path, monkeypatch):
    # under the sanitizer suite its runtime is preloaded into Python; FFmpeg and the browser do without
    monkeypatch.delenv("LD_PRELOAD", raising=False)
    webdriver = pytest.importorskip("selenium.webdriver")
    from selenium.webdriver.common.by import By
    from selenium.webdriver.support.ui import WebDriverWait

    from herdmask.app import render
    from herdmask.app.proofread import open_server, synthetic
    from herdmask.app.proofread.source import RunView

    demo, status = tiny_demo
    assert status == 0
    out = tmp_path / "run"
    shutil.copytree(demo, out, ignore=shutil.ignore_patterns("frames", "recording", "evaluation*"))
    # without its frame folders: the page and the videos decode the frames again from the recordings
    for path in glob.glob(str(out / "annotations" / "**" / "output_pp_*.json"), recursive=True):
        with open(path) as f:
            data = json.load(f)
        data["image_path"] = str(out / "frames" / os.path.basename(data["image_path"]))
        with open(path, "w") as f:
            json.dump(data, f)
    truth = demo / "ground_truth"
    before = _evaluate(out, truth)

    view = RunView.open(out)
    link, frame = view.cameras["1"][1], 12
    a, b = _far_pair(view, link, frame)
    synthetic.swap_ids(out, link.video, link.segment, frame, a, b)
    swapped = _evaluate(out, truth)
    assert swapped["IDF1"] < before["IDF1"] - 0.02 and swapped["ID switches"] >= before["ID switches"] + 2
    render.render_run(str(out), camera="1")

    address, server, thread, _ = open_server(str(out))
    options = webdriver.ChromeOptions()
    options.binary_location = CHROMIUM
    for arg in ("--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage", "--window-size=1400,900"):
        options.add_argument(arg)
    browser = webdriver.Chrome(service=webdriver.ChromeService(DRIVER), options=options)
    try:
        wait = WebDriverWait(browser, 30)
        browser.get(address)
        wait.until(lambda d: "tracks checked" in d.find_element(By.ID, "scan").text)
        items = browser.find_elements(By.CSS_SELECTOR, "#queue li")[:3]
        where = f"{link.key} · frame {frame}"
        found = next(li for li in items if where in li.text)
        assert "same frame" in found.text
        found.click()
        wait.until(lambda d: d.find_element(By.ID, "frame-no").text == f"frame {frame} of {link.frames - 1}")
        swap = browser.find_element(By.ID, "do-swap")
        wait.until(lambda d: swap.is_enabled())
        # the overlay video of the link plays in this browser
        browser.find_element(By.CSS_SELECTOR, "#overlay-box summary").click()
        wait.until(lambda d: d.execute_script("const v = document.querySelector('video'); "
                                              "return v && v.readyState >= 1 && v.videoWidth > 0"))
        browser.find_element(By.TAG_NAME, "body").send_keys("s")
        wait.until(lambda d: d.find_element(By.ID, "message").text.startswith("Kept"))
        assert browser.find_element(By.ID, "corrections-count").text == "1"
    finally:
        browser.quit()
        server.should_exit = True
        thread.join(5)
    after = _evaluate(out, truth)
    assert after.to_dict() == before.to_dict()
    assert os.path.getsize(out / "corrections.jsonl") > 0
