#!/usr/bin/env python3
"""Times configparser reading INI files: configparser_time.py MIN_SECONDS FILE...

Prints a JSON object mapping each file's base name to the median CPU seconds
of one ConfigParser().read() of it, over reads that take MIN_SECONDS together.
"""

import configparser
import json
import os
import statistics
import sys
import time


def time_read(path, min_seconds):
    samples = []
    spent = 0.0
    while spent < min_seconds or len(samples) < 3:
        start = time.process_time()
        parser = configparser.ConfigParser(interpolation=None)
        parser.read(path, encoding="utf-8")
        seconds = time.process_time() - start
        samples.append(seconds)
        spent += seconds
    return statistics.median(samples)


def main():
    min_seconds = float(sys.argv[1])
    results = {os.path.basename(path): time_read(path, min_seconds) for path in sys.argv[2:]}
    print(json.dumps(results))


if __name__ == "__main__":
    main()
