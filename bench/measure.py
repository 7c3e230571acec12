#!/usr/bin/env python3
"""Times zget beside curl, aria2c, axel and wget2 on loopback and prints one table.

Called by bench/run, which installs the tools, builds zget, generates the data and starts the
servers. Every run's output is checked against the source's MD5; a run with a wrong or missing
file aborts the benchmark instead of being counted.
"""
import hashlib
import json
import os
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

WORK = os.environ["BENCH_WORK"]          # data, outputs and logs, outside the repository
ZGET = os.environ["BENCH_ZGET"]          # the built zget binary
DIRECT = os.environ["BENCH_DIRECT"]      # http://127.0.0.1:PORT of nginx
LIMITED = os.environ["BENCH_LIMITED"]    # http://127.0.0.1:PORT of the 20 MiB/s relay
RUNS = int(os.environ.get("BENCH_RUNS", "3"))
ONLY = set(filter(None, os.environ.get("BENCH_SCENARIOS", "").split(",")))

OUT = os.path.join(WORK, "out")
CACHE = os.path.join(WORK, "zget-cache")


def md5_of(path):
    digest = hashlib.md5()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            digest.update(block)
    return digest.hexdigest()


def fresh_out():
    shutil.rmtree(OUT, ignore_errors=True)
    shutil.rmtree(CACHE, ignore_errors=True)
    os.makedirs(OUT)
    # Dirty pages left by the previous run would throttle this one's writes: start clean.
    os.sync()


def timed(command):
    """Runs command in OUT; returns (wall seconds, cpu seconds, peak RSS KiB)."""
    with tempfile.NamedTemporaryFile("r", dir=WORK, suffix=".time") as stats:
        start = time.monotonic()
        result = subprocess.run(["/usr/bin/time", "-f", "%U %S %M", "-o", stats.name] + command,
                                cwd=OUT, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.monotonic() - start
        if result.returncode != 0:
            sys.exit("benchmark run failed: %s\n%s" % (" ".join(command),
                                                      result.stderr.decode(errors="replace")[-2000:]))
        user, system, rss = stats.read().split()[-3:]
    return wall, float(user) + float(system), int(rss)


def check(expected):
    """expected: {file name in OUT: md5}. Exits on any missing or wrong file."""
    for name, digest in expected.items():
        path = os.path.join(OUT, name)
        if not os.path.exists(path) or md5_of(path) != digest:
            sys.exit("benchmark run produced a wrong or missing file: %s" % path)


def measure(command, expected, runs):
    walls, cpus, rsss = [], [], []
    for _ in range(runs):
        fresh_out()
        wall, cpu, rss = timed(command)
        check(expected)
        walls.append(wall)
        cpus.append(cpu)
        rsss.append(rss)
    return statistics.median(walls), statistics.median(cpus), max(rsss)


def hyperfine_median(command, runs):
    """Median wall time of command over runs, from hyperfine, each run from a clean output."""
    report = os.path.join(WORK, "hyperfine.json")
    prepare = "rm -rf %s %s && mkdir -p %s && sync" % (OUT, CACHE, OUT)
    shell_command = "cd %s && %s >/dev/null" % (OUT, " ".join("'%s'" % c for c in command))
    subprocess.run(["hyperfine", "--style", "none", "--runs", str(runs), "--prepare", prepare,
                    "--export-json", report, shell_command], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    with open(report) as f:
        return json.load(f)["results"][0]["median"]


def zget(*args):
    return [ZGET, "-q", "--cache-dir", CACHE, "-d", OUT] + list(args)


def scenarios():
    www = os.path.join(WORK, "www")
    digests = json.load(open(os.path.join(WORK, "digests.json")))
    big, mid, small = "1g.bin", "256m.bin", "8m.bin"
    files = sorted(n for n in digests if n.startswith("s"))
    url_list = os.path.join(WORK, "list.txt")
    with open(url_list, "w") as f:
        f.writelines("%s/small/%s\n" % (DIRECT, n) for n in files)
    small_expected = {n: digests[n] for n in files}

    def single(name, base):
        url = "%s/%s" % (base, name)
        return url, {name: digests[name]}

    url, expected = single(big, DIRECT)
    yield ("1: 1 GiB, no limit", os.path.getsize(os.path.join(www, big)), expected, {
        "zget": zget(url),
        "curl": ["curl", "-s", "-o", big, url],
        "aria2c": ["aria2c", "-q", "-x4", "-s4", "-k2M", "--file-allocation=none", "-o", big, url],
        "axel": ["axel", "-q", "-n", "4", "-o", big, url],
        "wget2": ["wget2", "-q", "-O", big, url],
    })
    url, expected = single(mid, LIMITED)
    yield ("2: 256 MiB, 20 MiB/s per connection", os.path.getsize(os.path.join(www, mid)),
           expected, {
        "zget": zget(url),
        "curl": ["curl", "-s", "-o", mid, url],
        "aria2c": ["aria2c", "-q", "-x4", "-s4", "-k2M", "--file-allocation=none", "-o", mid, url],
        "axel": ["axel", "-q", "-n", "4", "-o", mid, url],
        "wget2": ["wget2", "-q", "-O", mid, url],
    })
    curl_parallel = ["curl", "-s", "--parallel", "--parallel-max", "2"]
    for n in files:
        curl_parallel += ["-o", n, "%s/small/%s" % (DIRECT, n)]
    yield ("3: 400 x 256 KiB, two at a time", 400 * 256 * 1024, small_expected, {
        "zget": zget("-j", "2", "-i", url_list),
        "curl": curl_parallel,
        "aria2c": ["aria2c", "-q", "-j2", "--file-allocation=none", "-i", url_list],
        "wget2": ["wget2", "-q", "--max-threads=2", "-i", url_list],
    })
    url, expected = single(small, DIRECT)
    yield ("4: 8 MiB, start-up", os.path.getsize(os.path.join(www, small)), expected, {
        "zget": zget(url),
        "curl": ["curl", "-s", "-o", small, url],
        "aria2c": ["aria2c", "-q", "-x4", "-s4", "-k2M", "--file-allocation=none", "-o", small, url],
        "axel": ["axel", "-q", "-n", "4", "-o", small, url],
        "wget2": ["wget2", "-q", "-O", small, url],
    })


def main():
    rows = []
    for title, size, expected, tools in scenarios():
        if ONLY and title.split(":")[0] not in ONLY:
            continue
        results = {}
        for tool, command in tools.items():
            wall, cpu, rss = measure(command, expected, RUNS)
            if title.startswith("4"):
                wall = hyperfine_median(command, max(RUNS, 10))
                fresh_out()
                timed(command)
                check(expected)
            results[tool] = (wall, cpu, rss)
            print("  %-40s %-7s %8.3f s" % (title, tool, wall), file=sys.stderr, flush=True)
        base = results["zget"][0]
        for tool, (wall, cpu, rss) in results.items():
            rows.append((title, tool, wall, size / wall / 1e6, cpu, rss / 1024.0, wall / base))
    print()
    print("%-38s %-7s %10s %10s %8s %9s %9s" % ("scenario", "tool", "median s", "MB/s",
                                                  "CPU s", "RSS MiB", "vs zget"))
    for row in rows:
        print("%-38s %-7s %10.3f %10.1f %8.2f %9.1f %9.2f" % row)
    print("\n(median of %d runs; CPU = user + system; RSS = peak of all runs; scenario 4 wall"
          " time from hyperfine)" % RUNS)


if __name__ == "__main__":
    main()
