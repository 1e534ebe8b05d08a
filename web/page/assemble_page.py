#!/usr/bin/env python3
"""Makes the one self-contained page: the markup with its style, the engine's
module (one JavaScript file with the WebAssembly and the image inside) and
the page's script put in place of its three markers.

    assemble_page.py --page HTML CSS JS --module ENGINE_JS --out PAGE

The same inputs give the same bytes.
"""
import argparse
import os
import sys


def inline_script(text):
    # Inside <script>, only "</script" and "<!--" can end or confuse it;
    # both mean the same to JavaScript with the slash or bang escaped.
    return text.replace("</script", "<\\/script").replace("<!--", "<\\!--")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--page", nargs=3, required=True, metavar=("HTML", "CSS", "JS"))
    parser.add_argument("--module", required=True)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    html, css, script = (open(path, encoding="utf-8").read() for path in args.page)
    module = open(args.module, encoding="utf-8").read()
    pieces = {
        "<!-- qdm7:style -->": "<style>\n" + css + "</style>",
        "<!-- qdm7:module -->": "<script>\n" + inline_script(module) + "\n</script>",
        "<!-- qdm7:script -->": "<script>\n" + inline_script(script) + "</script>",
    }
    for marker, piece in pieces.items():
        if html.count(marker) != 1:
            print(f"assemble_page: {args.page[0]} must hold {marker} once", file=sys.stderr)
            return 1
        html = html.replace(marker, piece)
    partial = args.out + ".partial"
    with open(partial, "w", encoding="utf-8", newline="\n") as out:
        out.write(html)
    os.replace(partial, args.out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
