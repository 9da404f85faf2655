"""The built manual seen in a real browser: headless Chromium takes a screenshot of the front page
and of the API reference at read_pcd, and this fails on a blank or broken page.

    python docs/check_pages.py [docs/_build/html]

A page passes when Chromium renders it, its DOM holds the text it must show, and its screenshot is
neither blank nor one colour (at least 2% of its pixels differ from the background). Screenshots
are left in docs/_build/shots for a look.
"""

import pathlib
import shutil
import subprocess
import sys
import tempfile

import numpy as np
from matplotlib import image

HERE = pathlib.Path(__file__).parent
PAGES = [  # page, what its DOM must hold
    ("index.html", ["Fast, careful reading and writing of PCD", "pip install", "The manual"]),
    ("api.html#vantrel.read_pcd", ["vantrel.read_pcd", "Parameters", "Returns", "Raises", "Examples", "PcdOpenError"]),
]


def chromium() -> str:
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return name
    sys.exit("docs-check needs Chromium: sudo apt-get install chromium")


def browse(page: str, *options: str) -> subprocess.CompletedProcess:
    with tempfile.TemporaryDirectory() as profile:
        return subprocess.run(
            [
                chromium(),
                "--headless",
                "--no-sandbox",
                "--disable-gpu",
                "--hide-scrollbars",
                f"--user-data-dir={profile}",
                *options,
                page,
            ],
            capture_output=True,
            text=True,
            timeout=120,
        )


def check(html: pathlib.Path, page: str, texts: list[str], shots: pathlib.Path) -> list[str]:
    url = (html / page.split("#")[0]).resolve().as_uri() + ("#" + page.split("#")[1] if "#" in page else "")
    problems = []
    dom = browse(url, "--dump-dom")
    if dom.returncode:
        return [f"{page}: Chromium failed: {dom.stderr.strip()[-300:]}"]
    problems += [f"{page}: the page does not show {text!r}" for text in texts if text not in dom.stdout]
    shot = shots / (page.split("#")[0].replace(".html", "") + ".png")
    browse(url, f"--screenshot={shot}", "--window-size=1280,1400")
    if not shot.exists():
        return [*problems, f"{page}: no screenshot"]
    pixels = image.imread(shot)[..., :3]
    background = np.median(pixels.reshape(-1, 3), axis=0)
    differ = np.abs(pixels - background).max(axis=-1) > 0.1
    if differ.mean() < 0.02:
        problems.append(f"{page}: the screenshot is blank ({differ.mean():.1%} of its pixels differ)")
    return problems


def main() -> int:
    html = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "_build" / "html"
    shots = html.parent / "shots"
    shots.mkdir(parents=True, exist_ok=True)
    problems = [problem for page, texts in PAGES for problem in check(html, page, texts, shots)]
    for problem in problems:
        print(problem, file=sys.stderr)
    if not problems:
        print(f"{len(PAGES)} pages rendered and drawn: screenshots in {shots}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
