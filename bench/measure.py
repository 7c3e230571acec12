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
import socket
import statistics
import subprocess
import sys
import tempfile
import time

WORK = os.environ["BENCH_WORK"]          # data, outputs and logs, outside the repository
ZGET = os.environ["BENCH_ZGET"]          # the built zget binary
DIRECT = os.environ["BENCH_DIRECT"]      # http://127.0.0.1:PORT of nginx
LIMITED = os.environ["BENCH_LIMITED"]    # http://127.0.0.1:PORT of the 20 MiB/s relay
RATE = float(os.environ["BENCH_RATE"])   # its bytes per second and connection
DELAYED = os.environ["BENCH_DELAYED"]    # http://127.0.0.1:PORT of the delay line
DELAY_MS = float(os.environ["BENCH_DELAY_MS"])   # its one-way delay
SLOW = os.environ["BENCH_SLOW"]          # http://127.0.0.1:PORT of the relay, one connection slow
SLOW_CONTROL = int(os.environ["BENCH_SLOW_CONTROL"])   # its control port (restarts the count)
SLOW_NTH = int(os.environ["BENCH_SLOW_NTH"])           # which connection of a run is slow
SLOW_DIVISOR = float(os.environ["BENCH_SLOW_DIVISOR"])  # how much slower it is
REQUEST_LIMITED = os.environ["BENCH_REQUEST_LIMITED"]   # nginx limit_rate, per request
REQUEST_RATE = float(os.environ["BENCH_REQUEST_RATE"])   # its bytes per second and request
REQUEST_SLOW = os.environ["BENCH_REQUEST_SLOW"]          # nginx with a lower limit_rate
REQUEST_SLOW_RATE = float(os.environ["BENCH_REQUEST_SLOW_RATE"])
RUNS = int(os.environ.get("BENCH_RUNS", "3"))
ONLY = set(filter(None, os.environ.get("BENCH_SCENARIOS", "").split(",")))

OUT = os.path.join(WORK, "out")
ACCESS_LOG = os.path.join(WORK, "access.log")   # nginx's $bytes_sent, one request a line
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


def log_size():
    return os.path.getsize(ACCESS_LOG) if os.path.exists(ACCESS_LOG) else 0


def bytes_sent_since(offset):
    """The bytes nginx sent for the requests logged after offset. nginx logs a request when it
    ends: a request a relay still forwards when the client has gone ends a moment later."""
    total, seen, quiet = 0, offset, 0
    while quiet < 3:
        time.sleep(0.1)
        size = log_size()
        quiet = quiet + 1 if size == seen else 0
        seen = size
    with open(ACCESS_LOG, "rb") as f:
        f.seek(offset)
        for line in f.read(seen - offset).split():
            total += int(line)
    return total


def measure(command, expected, runs, size, prepare=None):
    walls, cpus, rsss, sent = [], [], [], []
    for _ in range(runs):
        fresh_out()
        if prepare:
            prepare()
        offset = log_size()
        wall, cpu, rss = timed(command)
        check(expected)
        walls.append(wall)
        cpus.append(cpu)
        rsss.append(rss)
        sent.append(bytes_sent_since(offset) / size)
    return statistics.median(walls), statistics.median(cpus), max(rsss), max(sent)


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


def restart_slow_count():
    """Starts the slow relay's connection count again; returns how many the last run opened."""
    with socket.create_connection(("127.0.0.1", SLOW_CONTROL), timeout=5) as control:
        control.settimeout(5)
        answer = b""
        while not answer.endswith(b"\n"):
            data = control.recv(64)
            if not data:
                break
            answer += data
    words = answer.split()
    if len(words) != 2 or words[0] != b"ok":
        sys.exit("the slow relay's control port answered %r" % answer)
    return int(words[1])


class Scenario:
    """What scenarios() yields, as a tuple: title (it starts with the number BENCH_SCENARIOS
    selects), size in bytes, {output file: md5}, {tool: command}, and optionally the ideal as
    (seconds, how it is computed), a call to make before every run, and a call made after the
    runs that returns more note lines."""

    def __init__(self, title, size, expected, tools, ideal=None, prepare=None, notes=None):
        self.title, self.size, self.expected, self.tools = title, size, expected, tools
        self.ideal, self.prepare, self.notes = ideal, prepare, notes


def ranged(name, url):
    """The peers that split one file over four ranged connections."""
    return {
        "aria2c": ["aria2c", "-q", "-x4", "-s4", "-k2M", "--file-allocation=none", "-o", name, url],
        "axel": ["axel", "-q", "-n", "4", "-o", name, url],
    }


def scenarios():
    www = os.path.join(WORK, "www")
    digests = json.load(open(os.path.join(WORK, "digests.json")))
    big, mid, hundred, small = "1g.bin", "256m.bin", "100m.bin", "8m.bin"
    files = sorted(n for n in digests if n.startswith("s"))
    small_expected = {n: digests[n] for n in files}

    def small_lists(base, tag):
        """(zget/aria2c/wget2 URL list, curl --parallel command) for the small files at base."""
        url_list = os.path.join(WORK, "list-%s.txt" % tag)
        with open(url_list, "w") as f:
            f.writelines("%s/small/%s\n" % (base, n) for n in files)
        curl_parallel = ["curl", "-s", "--parallel", "--parallel-max", "2"]
        for n in files:
            curl_parallel += ["-o", n, "%s/small/%s" % (base, n)]
        return url_list, curl_parallel

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
    mid_size = os.path.getsize(os.path.join(www, mid))
    yield ("2: 256 MiB, %g MiB/s per connection" % (RATE / 2**20), mid_size, expected, {
        "zget": zget(url),
        "curl": ["curl", "-s", "-o", mid, url],
        "aria2c": ["aria2c", "-q", "-x4", "-s4", "-k2M", "--file-allocation=none", "-o", mid, url],
        "axel": ["axel", "-q", "-n", "4", "-o", mid, url],
        "wget2": ["wget2", "-q", "-O", mid, url],
    }, (mid_size / (4 * RATE), "size / (4 x %g MiB/s): four connections at full rate"
        % (RATE / 2**20)))
    url_list, curl_parallel = small_lists(DIRECT, "direct")
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
    rtt = "%g ms round trip" % (2 * DELAY_MS)
    url, expected = single(mid, DELAYED)
    tools = {"zget": zget(url), "curl": ["curl", "-s", "-o", mid, url]}
    tools.update(ranged(mid, url))
    tools["wget2"] = ["wget2", "-q", "-O", mid, url]
    # Asks for four threads on 2 MiB chunks; the wget2 of Debian (1.99.1) fetches them one after
    # another over a single connection all the same (one socket in strace), so every chunk costs
    # a round trip. Kept as the peer that requests in 2 MiB ranges.
    tools["wget2-2M"] = ["wget2", "-q", "--max-threads=4", "--chunk-size=2M", "-O", mid, url]
    yield ("5: 256 MiB, " + rtt, mid_size, expected, tools)
    url_list, curl_parallel = small_lists(DELAYED, "delayed")
    yield ("6: 400 x 256 KiB, %g ms RTT, 2 at a time" % (2 * DELAY_MS), 400 * 256 * 1024,
           small_expected, {
        "zget": zget("-j", "2", "-i", url_list),
        "curl": curl_parallel,
        "aria2c": ["aria2c", "-q", "-j2", "--file-allocation=none", "-i", url_list],
        "wget2": ["wget2", "-q", "--max-threads=2", "-i", url_list],
    })
    url, expected = single(mid, SLOW)
    slow_rate = RATE / SLOW_DIVISOR
    yield ("7: 256 MiB, 1 of 4 connections %gx slower" % SLOW_DIVISOR, mid_size, expected,
           dict({"zget": zget(url)}, **ranged(mid, url)),
           (mid_size / (3 * RATE + slow_rate),
            "size / (3 x %g MiB/s + %g MiB/s): connection %d of each run gets a %gth of the rate"
            % (RATE / 2**20, slow_rate / 2**20, SLOW_NTH, SLOW_DIVISOR)),
           restart_slow_count)
    url, expected = single(mid, REQUEST_LIMITED)
    yield ("8: 256 MiB, nginx limit_rate %gm" % (REQUEST_RATE / 2**20), mid_size, expected,
           dict({"zget": zget(url)}, **ranged(mid, url)),
           (mid_size / (4 * REQUEST_RATE), "size / (4 x %g MiB/s): four requests at the limit"
            % (REQUEST_RATE / 2**20)))
    url, expected = single(hundred, REQUEST_SLOW)
    yield ("9: 100 MiB, nginx limit_rate %gm, -x 4" % (REQUEST_SLOW_RATE / 2**20),
           os.path.getsize(os.path.join(www, hundred)), expected,
           dict({"zget": zget("-x", "4", url)}, **ranged(hundred, url)),
           (os.path.getsize(os.path.join(www, hundred)) / (4 * REQUEST_SLOW_RATE),
            "size / (4 x %g MiB/s): four requests at the limit" % (REQUEST_SLOW_RATE / 2**20)))
    yield many_small_files()


def many_small_files():
    """10,000 files of 16 KiB, four at a time: the cost of each download, beside wget2 and curl
    (curl runs them all on one loop). System calls per file come from strace -f -c over a run of
    the first 100 files, apart from the timed runs."""
    count, size, parallel = 10000, 16 * 1024, 4
    www = os.path.join(WORK, "www", "many")
    os.makedirs(www, exist_ok=True)
    names = ["m%05d" % i for i in range(count)]
    for name in names:
        path = os.path.join(www, name)
        if not os.path.exists(path) or os.path.getsize(path) != size:
            with open(path, "wb") as f:
                f.write(os.urandom(size))
    expected = {name: md5_of(os.path.join(www, name)) for name in names}

    def lists(tag, chosen):
        """{tool: command} fetching chosen: a URL list for zget and wget2, a config for curl."""
        url_list = os.path.join(WORK, "many-%s.txt" % tag)
        curl_config = os.path.join(WORK, "many-%s.curl" % tag)
        with open(url_list, "w") as urls, open(curl_config, "w") as config:
            for name in chosen:
                urls.write("%s/many/%s\n" % (DIRECT, name))
                config.write('url = "%s/many/%s"\noutput = "%s"\n' % (DIRECT, name, name))
        return {
            "zget": zget("-j", str(parallel), "-i", url_list),
            "curl": ["curl", "-s", "--parallel", "--parallel-max", str(parallel), "-K", curl_config],
            "wget2": ["wget2", "-q", "--max-threads=%d" % parallel, "-i", url_list],
        }

    traced = 100

    def calls_per_file():
        """One note line per tool: its system calls per file over a traced run of 100 files."""
        lines = []
        for tool, command in lists("traced", names[:traced]).items():
            fresh_out()
            report = os.path.join(WORK, "many-strace-%s.txt" % tool)
            subprocess.run(["strace", "-f", "-c", "-o", report] + command, cwd=OUT, check=True,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            calls = {}
            with open(report) as f:
                for line in f:
                    fields = line.split()
                    if len(fields) >= 5 and fields[3].isdigit() and fields[-1] != "total":
                        calls[fields[-1]] = int(fields[3])
            top = sorted(calls.items(), key=lambda c: -c[1])[:6]
            lines.append("11: %s, system calls per file (strace -f -c, %d files): %.1f (%s)" % (
                tool, traced, sum(calls.values()) / traced,
                ", ".join("%s %.1f" % (name, n / traced) for name, n in top)))
        return lines

    return ("11: %d x 16 KiB, %d at a time" % (count, parallel), count * size, expected,
            lists("all", names), None, None, calls_per_file)


def main():
    rows = []
    summary = []
    notes = []
    for scenario in scenarios():
        scenario = Scenario(*scenario)
        title, size, expected, tools = (scenario.title, scenario.size, scenario.expected,
                                         scenario.tools)
        if ONLY and title.split(":")[0] not in ONLY:
            continue
        results = {}
        connections = {}
        for tool, command in tools.items():
            wall, cpu, rss, sent = measure(command, expected, RUNS, size, scenario.prepare)
            if scenario.prepare:
                # The same call that readies the next run says what this tool's last run opened.
                connections[tool] = restart_slow_count()
            if title.startswith("4"):
                wall = hyperfine_median(command, max(RUNS, 10))
                fresh_out()
                timed(command)
                check(expected)
            results[tool] = (wall, cpu, rss, sent)
            print("  %-44s %-8s %8.3f s" % (title, tool, wall), file=sys.stderr, flush=True)
        base = results["zget"][0]
        for tool, (wall, cpu, rss, sent) in results.items():
            rows.append((title, tool, "%10.3f" % wall, "%10.1f" % (size / wall / 1e6),
                         "%8.2f" % cpu, "%9.1f" % (rss / 1024.0), "%9.3f" % sent,
                         "%9.2f" % (wall / base)))
        if scenario.ideal:
            ideal, how = scenario.ideal
            rows.append((title, "ideal", "%10.3f" % ideal, "%10.1f" % (size / ideal / 1e6),
                         "%8s" % "-", "%9s" % "-", "%9s" % "-", "%9.2f" % (ideal / base)))
            notes.append("%s: ideal = %s" % (title.split(":")[0], how))
        if "wget2-2M" in results:
            notes.append("%s: wget2-2M = wget2 --max-threads=4 --chunk-size=2M (it still uses one"
                         " connection, chunk after chunk)" % title.split(":")[0])
        if scenario.notes:
            notes.extend(scenario.notes())
        if connections:
            notes.append("%s: connections opened in the last run: %s" % (
                title.split(":")[0], ", ".join("%s %d" % c for c in connections.items())))
        peers = {tool: r[0] for tool, r in results.items() if tool != "zget"}
        best = min(peers, key=peers.get)
        summary.append((title, base, best, peers[best], base / peers[best],
                        base / scenario.ideal[0] if scenario.ideal else None))
    print()
    print("%-44s %-8s %10s %10s %8s %9s %9s %9s" % ("scenario", "tool", "median s", "MB/s",
                                                      "CPU s", "RSS MiB", "sent/size", "vs zget"))
    for row in rows:
        print("%-44s %-8s %s %s %s %s %s %s" % row)
    print()
    print("%-44s %8s  %-8s %8s %10s %10s" % ("where zget stands", "zget s", "best", "peer s",
                                               "zget/best", "zget/ideal"))
    for title, zget_wall, best, best_wall, ratio, ideal_ratio in summary:
        print("%-44s %8.3f  %-8s %8.3f %10.2f %10s" % (
            title, zget_wall, best, best_wall, ratio,
            "%.2f" % ideal_ratio if ideal_ratio is not None else "-"))
    print("\n(median of %d runs; CPU = user + system; RSS = peak of all runs; scenario 4 wall"
          " time from hyperfine; best = the fastest peer, the ideal not counted; sent/size ="
          " the most bytes nginx sent, headers included, over the files' size in any run)" % RUNS)
    for note in notes:
        print(note)


if __name__ == "__main__":
    main()
