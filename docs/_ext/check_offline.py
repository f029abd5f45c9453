"""Fail if the built site would load anything from the network.

Scans every HTML page for scripts, style sheets, images, frames and fonts
whose address is absolute (http://, https:// or protocol-relative //), and
every style sheet for url(...) and @import of such addresses. Plain links (<a href>) are allowed: following one is the
reader's choice, and the site works without them.

    python check_offline.py build/docs/html
"""

import re
import sys
from pathlib import Path

REMOTE = r"(?:https?:)?//"
TAG = re.compile(r"<(script|link|img|iframe|source|video|audio|embed|object)\b[^>]*?"
                 r"\b(src|href|data)\s*=\s*[\"']" + REMOTE + r"[^\"']*", re.I)
CSS = re.compile(r"(?:url\(\s*[\"']?|@import\s+[\"'])" + REMOTE + r"[^\"')\s]*", re.I)
COMMENT = re.compile(r"/\*.*?\*/", re.S)


def remote_resources(site: Path):
    for page in site.rglob("*.html"):
        for match in TAG.finditer(page.read_text(encoding="utf-8", errors="replace")):
            yield page, match.group(0)
    for sheet in site.rglob("*.css"):
        text = COMMENT.sub("", sheet.read_text(encoding="utf-8", errors="replace"))
        for match in CSS.finditer(text):
            yield sheet, match.group(0)


def main(argv):
    site = Path(argv[1])
    found = list(remote_resources(site))
    for path, what in found:
        print(f"{path.relative_to(site)}: loads {what}", file=sys.stderr)
    if found:
        print(f"{len(found)} remote resources: the site would need the network", file=sys.stderr)
        return 1
    if not (site / "_static" / "tex-svg.js").is_file():
        print("_static/tex-svg.js is missing: equations would not render", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
