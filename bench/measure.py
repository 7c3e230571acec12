#!/usr/bin/env python3
"""Times zget beside curl, aria2c, axel and wget2 on loopback and prints one table.

Called by bench/run, which installs the tools, builds zget, generates the data and starts the
servers. Every run's output is checked against the source's MD5; a run with a wrong or missing
file aborts the benchmark instead of being counted.
"""
import atexit
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
    (seconds, how it is computed), a call to make before every run, and a call after the runs
    that returns a line for the notes (or a list of whole note lines)."""

    def __init__(self, title, size, expected, tools, ideal=None, prepare=None, report=None):
        self.title, self.size, self.expected, self.tools = title, size, expected, tools
        self.ideal, self.prepare, self.report = ideal, prepare, report


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
    yield from idle_manager_threads(files)
    yield from https_small_files(files, small_expected)
    yield cached_entries_case(digests)
    yield from four_gib_download()
    yield many_small_files()


def idle_manager_threads(files):
    """A manager at taskThreadNum 64 made and dropped, with nothing to do: its row is what that
    costs; the note says how many threads it held idle, and how many a batch of the small files
    took and how soon the manager was back to idle."""
    title = "14: idle manager threads at taskThreadNum 64"
    if ONLY and title.split(":")[0] not in ONLY:
        return
    build = os.path.dirname(os.path.dirname(ZGET))   # zget's build tree: bin/zget
    subprocess.run(["cmake", "--build", build, "--target", "bench_idle_manager"], check=True,
                   stdout=subprocess.DEVNULL)
    program = os.path.join(build, "bench", "bench_idle_manager")

    def report():
        fresh_out()
        urls = ["%s/small/%s" % (DIRECT, n) for n in files]
        words = subprocess.run([program, "64", OUT] + urls, check=True, stdout=subprocess.PIPE,
                               text=True).stdout.split()
        counts = dict(zip(words[0::2], map(int, words[1::2])))
        return ("threads in the process: %d before the manager, %d with it idle; a batch of %d"
                " x 256 KiB through it: %d at the busiest, back to %d %.1f s after the batch"
                % (counts["before"], counts["idle"], len(urls), counts["busiest"],
                   counts["settled"], counts["after_ms"] / 1000.0))

    yield (title, 1, {}, {"zget": [program, "64", os.path.join(OUT, "manager")]}, None, None,
           report)


def https_small_files(files, expected):
    """The small files over HTTPS (TLS 1.3 and HTTP/2, a certificate of the bench's own that
    every tool is told to trust) behind the delay line, eight at a time. Starts its own nginx and
    delay line, stopped when the benchmark ends."""
    title = "15: 400 x 256 KiB over HTTPS at %g ms RTT, eight at a time" % (2 * DELAY_MS)
    if ONLY and title.split(":")[0] not in ONLY:
        return
    tls_port, delayed_port = 18487, 18488
    tls = os.path.join(WORK, "tls")
    os.makedirs(tls, exist_ok=True)
    certificate, key = os.path.join(tls, "cert.pem"), os.path.join(tls, "key.pem")
    if not os.path.exists(certificate):
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "365",
                        "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                        "-keyout", key, "-out", certificate], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    config = os.path.join(tls, "nginx.conf")
    with open(config, "w") as f:
        f.write("""worker_processes 2;
pid %(tls)s/nginx.pid;
error_log %(tls)s/nginx-error.log;
events { worker_connections 1024; }
http {
  log_format sent '$bytes_sent';
  access_log %(log)s sent;
  sendfile on;
  keepalive_requests 100000;
  server {
    listen 127.0.0.1:%(port)d ssl http2;
    ssl_certificate %(cert)s;
    ssl_certificate_key %(key)s;
    ssl_protocols TLSv1.3;
    root %(www)s;
  }
}
""" % {"tls": tls, "log": ACCESS_LOG, "port": tls_port, "cert": certificate, "key": key,
       "www": os.path.join(WORK, "www")})
    subprocess.run(["nginx", "-c", config, "-p", tls, "-e", os.path.join(tls, "nginx-error.log")],
                   check=True)
    relay = subprocess.Popen([sys.executable, os.path.join(os.path.dirname(__file__),
                                                           "delay_relay.py"),
                              str(delayed_port), str(tls_port), "%g" % DELAY_MS])

    def stop():
        relay.terminate()
        with open(os.path.join(tls, "nginx.pid")) as f:
            os.kill(int(f.read()), 15)

    atexit.register(stop)
    base = "https://127.0.0.1:%d" % delayed_port
    for _ in range(50):
        if subprocess.run(["curl", "-sf", "--cacert", certificate, "-o", "/dev/null", "-r", "0-0",
                           "%s/small/%s" % (base, files[0])]).returncode == 0:
            break
        time.sleep(0.1)
    url_list = os.path.join(WORK, "list-https.txt")
    with open(url_list, "w") as f:
        f.writelines("%s/small/%s\n" % (base, n) for n in files)
    curl_parallel = ["curl", "-s", "--cacert", certificate, "--http2", "--parallel",
                     "--parallel-max", "8"]
    for n in files:
        curl_parallel += ["-o", n, "%s/small/%s" % (base, n)]
    yield (title, 400 * 256 * 1024, expected, {
        "zget": zget("-j", "8", "--ca-certificate", certificate, "-i", url_list),
        "curl": curl_parallel,
        "wget2": ["wget2", "-q", "--max-threads=8", "--http2", "--ca-certificate=" + certificate,
                  "-i", url_list],
    })


def cached_entries_case(digests, count=5000):
    """10: zget's first download with 5,000 interrupted downloads waiting in its cache (zget's
    default limits, 100 entries and 100 MiB), beside the same download with an empty cache. The
    entries are copies of one download that zget itself left interrupted, under other keys, with
    their files byte for byte as zget wrote them; each run starts from a fresh copy."""
    import signal
    name = "s000"
    url = "%s/small/%s" % (DIRECT, name)
    template = os.path.join(WORK, "cache-%d" % count)
    empty_cache = os.path.join(WORK, "zget-cache-empty")

    def make_template():
        if os.path.exists(template + ".done"):
            return
        shutil.rmtree(template, ignore_errors=True)
        seed = os.path.join(WORK, "cache-seed")
        shutil.rmtree(seed, ignore_errors=True)
        # One download cut short: slowed down, and stopped by SIGINT once it has stored bytes.
        seeding = subprocess.Popen([ZGET, "-q", "--cache-dir", seed, "-d", WORK, "--limit-rate",
                                    "20K", "%s/small/s001" % DIRECT], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        time.sleep(1.5)
        seeding.send_signal(signal.SIGINT)
        seeding.wait(timeout=60)
        stored = os.path.join(seed, "lruCache")
        infos = [n for n in os.listdir(stored) if n.endswith(".info")]
        if len(infos) != 1:
            sys.exit("the interrupted seed download left %r in %s" % (infos, stored))
        key = infos[0][:-len(".info")]
        sides = [n[len(key):] for n in os.listdir(stored)
                 if n.startswith(key) and not n.endswith(".tmp")]
        os.makedirs(os.path.join(template, "lruCache"), mode=0o700)
        oldest = time.time() - 86400
        for i in range(count):
            other = hashlib.md5(("%s/cached/%d" % (DIRECT, i)).encode()).hexdigest()
            for side in sides:
                target = os.path.join(template, "lruCache", other + side)
                shutil.copyfile(os.path.join(stored, key + side), target)
                os.utime(target, (oldest + i, oldest + i))
        open(template + ".done", "w").close()

    def prepare():
        make_template()
        shutil.rmtree(empty_cache, ignore_errors=True)
        shutil.copytree(template, CACHE, symlinks=True)
        os.sync()

    return ("10: first download beside %d cached entries" % count, 256 * 1024,
            {name: digests[name]}, {
                "zget": [ZGET, "-q", "--cache-dir", CACHE, "-d", OUT, url],
                "zget-empty": [ZGET, "-q", "--cache-dir", empty_cache, "-d", OUT, url],
            }, None, prepare)


def four_gib_download():
    """12: one 4 GiB download, zget with the write-out before delivery on and off, beside wget2
    and curl. The data file is made (and its MD5 taken, then kept beside it) before the case's
    first run only, so that the other cases never need its room; the output is deleted when the
    case ends, and before each run as everywhere."""
    name, size = "4g.bin", 4 << 30
    path = os.path.join(WORK, "www", name)
    digest_path = path + ".md5"
    expected = {}

    def prepare():
        if expected:
            return
        # The data file, one output and a little for zget's cache files.
        need = (0 if os.path.exists(path) and os.path.getsize(path) == size else size) + size
        free = shutil.disk_usage(WORK).free
        if free < need + (512 << 20):
            sys.exit("case 12 needs %.1f GiB free in %s, has %.1f" % (
                (need + (512 << 20)) / 2**30, WORK, free / 2**30))
        if not os.path.exists(path) or os.path.getsize(path) != size:
            subprocess.run(["head", "-c", str(size), "/dev/urandom"], check=True,
                           stdout=open(path, "wb"))
        stamp = "%d %d" % (os.path.getsize(path), os.stat(path).st_mtime_ns)
        known = open(digest_path).read().split("\t") if os.path.exists(digest_path) else []
        if len(known) != 2 or known[0] != stamp:
            known = [stamp, md5_of(path)]
            with open(digest_path, "w") as f:
                f.write("\t".join(known))
        expected[name] = known[1]

    url = "%s/%s" % (DIRECT, name)
    yield ("12: 4 GiB file, one download", size, expected, {
        "zget": zget(url),
        "zget-nwo": zget("--no-write-out", url),
        "wget2": ["wget2", "-q", "-O", name, url],
        "curl": ["curl", "-s", "-o", name, url],
    }, None, prepare)
    shutil.rmtree(OUT, ignore_errors=True)
    shutil.rmtree(CACHE, ignore_errors=True)


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
            if scenario.prepare is restart_slow_count:
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
        if "zget-nwo" in results:
            notes.append("%s: zget-nwo = zget --no-write-out (delivered without waiting for the"
                         " data to reach the disk, as wget2 and curl deliver)" % title.split(":")[0])
        if "wget2-2M" in results:
            notes.append("%s: wget2-2M = wget2 --max-threads=4 --chunk-size=2M (it still uses one"
                         " connection, chunk after chunk)" % title.split(":")[0])
        if connections:
            notes.append("%s: connections opened in the last run: %s" % (
                title.split(":")[0], ", ".join("%s %d" % c for c in connections.items())))
        if scenario.report:
            reported = scenario.report()
            if isinstance(reported, list):
                notes.extend(reported)
            else:
                notes.append("%s: %s" % (title.split(":")[0], reported))
        peers = {tool: r[0] for tool, r in results.items() if not tool.startswith("zget")}
        if not peers:
            continue
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
