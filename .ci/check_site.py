"""Open the built documentation in headless Chromium and check it.

    python .ci/check_site.py docs/_build/html [--screenshots DIR]

1. The index, the API page and the search page render: Chromium loads each
   and the DOM it builds holds the page's own content.
2. Every internal link and anchor resolves: on every page, as Chromium's DOM
   has it, each local href, src and #fragment names a file that exists and
   an id that file's DOM holds; every image has alt text.
3. Searching for get_next_states (search.html?q=..., run by Sphinx's
   JavaScript) lists the API entry.

Screenshots of the main pages go to --screenshots, to be looked at. Exits 1
and names every problem if any check fails.
"""

import argparse
import html.parser
import pathlib
import shutil
import subprocess
import sys
import urllib.parse

TIMEOUT = 120


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    sys.exit("check_site: no chromium on PATH (apt-get install chromium)")


def browser(url, *extra):
    """Chromium's DOM of url after its scripts ran, as text."""
    # --no-sandbox: CI runs as root, where Chromium's sandbox refuses to start.
    cmd = [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
           "--disable-dev-shm-usage", "--virtual-time-budget=15000", *extra, url]
    done = subprocess.run(cmd, capture_output=True, text=True, timeout=TIMEOUT)
    if done.returncode != 0:
        raise RuntimeError(f"chromium failed on {url}: {done.stderr[-2000:]}")
    return done.stdout


class Page(html.parser.HTMLParser):
    """The ids, links and images of one DOM."""

    def __init__(self, text):
        super().__init__()
        self.text = text
        self.ids, self.links, self.images = set(), [], []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if a.get("id"):
            self.ids.add(a["id"])
        if tag == "a" and a.get("name"):
            self.ids.add(a["name"])
        for key in ("href", "src"):
            if a.get(key):
                self.links.append((tag, a[key]))
        if tag == "img":
            self.images.append((a.get("src", ""), (a.get("alt") or "").strip()))


def local_target(page_path, link):
    """(file, fragment) for a link inside the site, or None for others."""
    parts = urllib.parse.urlsplit(link)
    if parts.scheme in ("http", "https", "mailto", "data", "javascript") or parts.netloc:
        return None
    if parts.scheme == "file":
        target = pathlib.Path(urllib.parse.unquote(parts.path))
    elif parts.path:
        target = (page_path.parent / urllib.parse.unquote(parts.path)).resolve()
    else:
        target = page_path
    return target, urllib.parse.unquote(parts.fragment)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("site", type=pathlib.Path)
    parser.add_argument("--screenshots", type=pathlib.Path)
    args = parser.parse_args()
    site = args.site.resolve()
    problems = []

    pages = sorted(site.rglob("*.html"))
    doms = {}
    for path in pages:
        try:
            doms[path] = Page(browser(path.as_uri(), "--dump-dom"))
        except (RuntimeError, subprocess.TimeoutExpired) as exc:
            problems.append(f"{path.name}: {exc}")
    print(f"check_site: {len(doms)} of {len(pages)} pages rendered")

    # 1. The three pages a reader meets first hold their own content.
    expect = {
        "index.html": ["tessaroll", "Getting started", "API reference"],
        "api.html": ["tessaroll.CubeBatch.get_next_states", "tessaroll.Cube3x3.do_moves",
                     "tessaroll.Cube2x2.state", "tessaroll.inverse_scramble",
                     "tessaroll.InternalError"],
        "search.html": ["search-results"],
    }
    for name, needles in expect.items():
        dom = doms.get(site / name)
        if dom is None:
            problems.append(f"{name}: did not render")
            continue
        for needle in needles:
            if needle not in dom.ids and needle not in dom.text:
                problems.append(f"{name}: rendered without {needle!r}")

    # 2. Every local link and anchor resolves; every image has alt text.
    checked = 0
    for path, dom in doms.items():
        for tag, link in dom.links:
            target = local_target(path, link)
            if target is None:
                continue
            file, fragment = target
            checked += 1
            if file.is_dir():
                file = file / "index.html"
            if not file.is_file():
                problems.append(f"{path.name}: <{tag}> {link} names a missing file")
            elif fragment and file.suffix == ".html":
                ids = doms[file].ids if file in doms else set()
                if fragment not in ids:
                    problems.append(f"{path.name}: {link} names a missing anchor")
        for src, alt in dom.images:
            if not alt:
                problems.append(f"{path.name}: image {src} has no alt text")
    print(f"check_site: {checked} local links and anchors checked")

    # 3. Search, run by the page's own JavaScript.
    query = (site / "search.html").as_uri() + "?q=get_next_states"
    results = Page(browser(query, "--dump-dom"))
    hits = [link for tag, link in results.links
            if tag == "a" and "api.html#tessaroll." in link and link.endswith("get_next_states")]
    if not hits:
        problems.append("search.html?q=get_next_states lists no API entry")
    else:
        print(f"check_site: searching get_next_states finds {', '.join(sorted(set(hits)))}")

    if args.screenshots:
        args.screenshots.mkdir(parents=True, exist_ok=True)
        for name, url in [("index", "index.html"), ("api", "api.html"),
                          ("concepts", "concepts.html"), ("performance", "performance.html"),
                          ("search", "search.html")]:
            shot = args.screenshots / f"{name}.png"
            browser((site / url).as_uri() + ("?q=get_next_states" if name == "search" else ""),
                    f"--screenshot={shot}", "--window-size=1280,1600", "--hide-scrollbars")
        print(f"check_site: screenshots in {args.screenshots}")

    for problem in problems:
        print(f"check_site: {problem}", file=sys.stderr)
    print(f"check_site: {'FAILED' if problems else 'passed'}, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
