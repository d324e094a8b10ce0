#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Reads an SVG picture drawn by pemdor-sensors and prints, as JSON, what a test checks: for each
stroke colour the number of points of each line (PLplot cuts long lines into pieces of 256 points
that share their end points; those are joined again), and every text in document order."""
import json
import sys
import xml.etree.ElementTree as ET

SVG = "{http://www.w3.org/2000/svg}"


def main(path):
    root = ET.parse(path).getroot()  # raises on a file that is not well-formed XML
    if root.tag != SVG + "svg":
        raise SystemExit("not an SVG document: " + root.tag)
    lines = {}
    last = {}
    for polyline in root.iter(SVG + "polyline"):
        colour = polyline.get("stroke")
        points = [tuple(float(v) for v in p.split(",")) for p in polyline.get("points").split()]
        series = lines.setdefault(colour, [])
        if series and len(points) > 0 and last.get(colour) == points[0] and series[-1] % 255 == 1:
            series[-1] += len(points) - 1
        else:
            series.append(len(points))
        last[colour] = points[-1]
    texts = ["".join(t.itertext()) for t in root.iter(SVG + "text")]
    json.dump({"lines": lines, "texts": texts}, sys.stdout)


if __name__ == "__main__":
    main(sys.argv[1])
