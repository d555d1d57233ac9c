"""The documentation site as a reader sees it: every page of site/ (scripts/docs.sh builds it) served
on 127.0.0.1 and rendered by headless Chromium, which must show the page's headings, the search box
and the theme's scripts at work. Screenshots of the home page and the Python reference go to
KVN_DOCS_SCREENSHOTS (default build/docs-screenshots/) for a person to look at.

Chromium resolves no host name but 127.0.0.1, so a page that would fetch anything from elsewhere
cannot, and renders without it.
"""

from __future__ import annotations

import concurrent.futures
import functools
import html.parser
import http.server
import os
import shutil
import subprocess
import tempfile
import threading
from collections.abc import Iterator
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
SITE = Path(os.environ.get("KVN_DOCS_SITE", REPO / "site"))
SHOTS = Path(os.environ.get("KVN_DOCS_SCREENSHOTS", REPO / "build" / "docs-screenshots"))
PAGES = sorted(str(p.relative_to(SITE)) for p in SITE.rglob("*.html")
               if p.name != "404.html" and "assets" not in p.parts) if SITE.is_dir() else []
SCREENSHOTS = {"index.html": "docs-home.png", "python-api.html": "docs-python-api.png"}
# Every page the navigation promises; a page that went missing fails here even if nothing links it.
EXPECTED = {"index.html", "getting-started.html", "python-api.html", "commands.html",
            "recording.html", "simulated-robot.html", "cpp-api.html", "network.html",
            "troubleshooting.html", "developing.html", "reports/benchmarks.html",
            "reports/reliability.html"}
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

CHROMIUM_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic",
                  "--no-first-run", "--disable-background-networking",
                  "--disable-component-update", "--disable-sync", "--hide-scrollbars",
                  "--host-resolver-rules=MAP * ~NOTFOUND, EXCLUDE 127.0.0.1"]
# A screenshot taken at once would show an empty page: let the page load and settle first.
SETTLE = "--virtual-time-budget=5000"


class Outline(html.parser.HTMLParser):
    """What a page shows: its headings (h1-h3, text without the permalink sign), whether it has
    the search box, and the classes of its root element."""

    def __init__(self) -> None:
        super().__init__()
        self.headings: list[str] = []
        self.search_box = False
        self.root_classes: set[str] = set()
        self._heading: list[str] | None = None
        self._skip = 0

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        a = dict(attrs)
        classes = set((a.get("class") or "").split())
        if tag == "html":
            self.root_classes = classes
        elif tag in ("h1", "h2", "h3"):
            self._heading = []
        elif tag == "a" and self._heading is not None and "headerlink" in classes:
            self._skip += 1
        elif tag == "input" and "md-search__input" in classes:
            self.search_box = True

    def handle_endtag(self, tag: str) -> None:
        if tag == "a" and self._skip:
            self._skip -= 1
        elif tag in ("h1", "h2", "h3") and self._heading is not None:
            self.headings.append(" ".join("".join(self._heading).split()))
            self._heading = None

    def handle_data(self, data: str) -> None:
        if self._heading is not None and not self._skip:
            self._heading.append(data)


def outline(text: str) -> Outline:
    parser = Outline()
    parser.feed(text)
    return parser


class QuietHandler(http.server.SimpleHTTPRequestHandler):
    def log_message(self, format: str, *args: object) -> None:  # noqa: A002 (the base's name)
        pass


@pytest.fixture(scope="module")
def base_url() -> Iterator[str]:
    if not (SITE / "index.html").is_file():
        pytest.fail(f"no site at {SITE}: build it with scripts/docs.sh", pytrace=False)
    server = http.server.ThreadingHTTPServer(
        ("127.0.0.1", 0), functools.partial(QuietHandler, directory=str(SITE)))
    thread = threading.Thread(target=server.serve_forever, daemon=True)
    thread.start()
    try:
        yield f"http://127.0.0.1:{server.server_address[1]}/"
    finally:
        server.shutdown()
        server.server_close()


def chromium(*args: str) -> subprocess.CompletedProcess[bytes]:
    exe = shutil.which("chromium")
    if exe is None:
        pytest.fail("chromium not found: scripts/docs.sh --check installs it", pytrace=False)
    with tempfile.TemporaryDirectory(prefix="kvn-chromium-") as profile:
        return subprocess.run([exe, *CHROMIUM_FLAGS, f"--user-data-dir={profile}", *args],
                              capture_output=True, timeout=120)


def test_site_has_every_page_of_the_navigation() -> None:
    assert EXPECTED <= set(PAGES), sorted(EXPECTED - set(PAGES))


@pytest.fixture(scope="module")
def rendered(base_url: str) -> dict[str, subprocess.CompletedProcess[bytes]]:
    """Every page's DOM after Chromium ran its scripts, two browsers at a time."""
    with concurrent.futures.ThreadPoolExecutor(max_workers=2) as pool:
        dumps = pool.map(lambda page: chromium("--dump-dom", base_url + page), PAGES)
        return dict(zip(PAGES, dumps))


@pytest.mark.parametrize("page", PAGES)
def test_page_renders_its_headings_and_the_search_box(
        rendered: dict[str, subprocess.CompletedProcess[bytes]], page: str) -> None:
    built = outline((SITE / page).read_text(encoding="utf-8"))
    assert built.headings, f"{page} has no heading"
    result = rendered[page]
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-2000:]
    shown = outline(result.stdout.decode("utf-8", errors="replace"))
    # The theme's scripts replace "no-js" on the root element once they run.
    assert "no-js" not in shown.root_classes and "js" in shown.root_classes, shown.root_classes
    assert shown.search_box, f"{page}: no search box"
    missing = [h for h in built.headings if h not in shown.headings]
    assert not missing, f"{page}: headings not rendered: {missing}"


@pytest.mark.parametrize("page", list(SCREENSHOTS))
def test_screenshot_of_page_is_drawn(base_url: str, page: str) -> None:
    SHOTS.mkdir(parents=True, exist_ok=True)
    shot = SHOTS / SCREENSHOTS[page]
    shot.unlink(missing_ok=True)
    result = chromium(SETTLE, "--window-size=1280,900", f"--screenshot={shot}", base_url + page)
    assert result.returncode == 0, result.stderr.decode(errors="replace")[-2000:]
    data = shot.read_bytes()
    assert data.startswith(PNG_SIGNATURE)
    # An empty white page of this size compresses to a few kB; text, tables and the theme's
    # header take far more.
    assert len(data) > 40_000, f"{shot} looks blank ({len(data)} bytes)"
