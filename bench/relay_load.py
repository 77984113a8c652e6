#!/usr/bin/env python3
"""Load on quillet-server: two instances on one private PostgreSQL, loopback only, bounded.

  bench/relay_load.py BUILD_DIR [--agents 1000] [--streams 10000] [--rounds 200] [--seconds 10]

1. The agent polling pattern of --agents agents (their own key and session each) with wrk, on one
   instance and then spread over both.
2. --streams open event streams on one instance, held by our own client: the server's memory
   per stream.
3. A reply posted on instance B answering a request held on instance A, --rounds times: p50, p99.

Accounts are written straight into the database (a passkey ceremony per simulated user would
measure Node, not the relay). Every connection goes to 127.0.0.1; every phase has a time limit.
"""
import argparse
import asyncio
import os
import pwd
import re
import resource
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

LOOPBACK = "127.0.0.1"


def free_port():
    with socket.socket() as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


class Postgres:
    def __init__(self):
        versions = sorted(os.listdir("/usr/lib/postgresql"), key=int, reverse=True)
        self.bin = f"/usr/lib/postgresql/{versions[0]}/bin"
        self.owner = "postgres" if os.geteuid() == 0 else None
        self.dir = tempfile.mkdtemp(prefix="quillet-pg-bench-", dir="/tmp")
        if self.owner:
            user = pwd.getpwnam(self.owner)
            os.chown(self.dir, user.pw_uid, user.pw_gid)
        self.port = free_port()
        data = f"{self.dir}/data"
        self.run("initdb", "-D", data, "-A", "trust", "-U", "postgres", "-E", "UTF8", "--no-sync")
        options = f"-c listen_addresses={LOOPBACK} -p {self.port} -k {self.dir} -c max_connections=100"
        self.run("pg_ctl", "-D", data, "-l", f"{self.dir}/log", "-o", options, "-w", "start")
        self.run("createdb", "-h", LOOPBACK, "-p", str(self.port), "-U", "postgres", "bench")
        self.url = f"postgresql://postgres@{LOOPBACK}:{self.port}/bench"

    def run(self, program, *args, stdin=None):
        command = [f"{self.bin}/{program}", *args]
        if self.owner:
            command = ["runuser", "-u", self.owner, "--", *command]
        return subprocess.run(command, cwd=self.dir, input=stdin, check=True, timeout=120,
                              capture_output=True, text=True).stdout

    def sql(self, text):
        return self.run("psql", "-h", LOOPBACK, "-p", str(self.port), "-U", "postgres", "-q",
                        "-v", "ON_ERROR_STOP=1", "-At", "bench", stdin=text)

    def stop(self):
        try:
            self.run("pg_ctl", "-D", f"{self.dir}/data", "-m", "fast", "-w", "stop")
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)


class Relay:
    def __init__(self, binary, database):
        self.process = subprocess.Popen(
            [binary, "--listen", LOOPBACK, "--port", "0", "--quiet", "--database", database,
             "--public-url", "http://localhost"],
            stderr=subprocess.PIPE, text=True)
        deadline = time.time() + 30
        self.port = None
        while time.time() < deadline and self.port is None:
            line = self.process.stderr.readline()
            if not line:
                break
            match = re.search(r"listening on \S+:(\d+)", line)
            if match:
                self.port = int(match.group(1))
        if self.port is None:
            raise SystemExit("quillet-server did not start")

    def rss_kib(self):
        with open(f"/proc/{self.process.pid}/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return 0

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()


def seed(pg, users, agents):
    """users[i] has device token device-i; the first `agents` also an agent key and a session."""
    pg.sql(f"""
    INSERT INTO users SELECT 'u' || i, 'user' || i, 'h' || i, now()::text FROM generate_series(1, {users}) i;
    INSERT INTO devices SELECT 'd' || i, 'u' || i, 'phone', 'ios',
        encode(sha256(('device-' || i)::bytea), 'hex'), now()::text, now()::text
        FROM generate_series(1, {users}) i;
    INSERT INTO api_keys SELECT 'k' || i, 'u' || i, 'bench', encode(sha256(('agent-' || i)::bytea), 'hex'),
        now()::text FROM generate_series(1, {agents}) i;
    INSERT INTO sessions (id, user_id, agent_label, status, created_at, updated_at)
        SELECT 's' || i, 'u' || i, 'bench', 'active', now()::text, now()::text FROM generate_series(1, {agents}) i;
    """)


WRK_SCRIPT = """
-- Agent i's cycle: its pending inputs, the pending commands, and now and then a screen.
local agents = %d
local n = 0
request = function()
  n = n + 1
  local i = (n %% agents) + 1
  local step = math.floor(n / agents) %% 3
  local headers = { ["Authorization"] = "Bearer agent-" .. i }
  if step == 0 then
    return wrk.format("GET", "/api/sessions/s" .. i .. "/inputs", headers)
  elseif step == 1 then
    return wrk.format("GET", "/api/commands/pending", headers)
  end
  headers["Content-Type"] = "application/json"
  return wrk.format("POST", "/api/sessions/s" .. i .. "/stream", headers,
                    '{"content":"$ make\\\\nbuilding ' .. n .. '"}')
end
"""


def wrk(ports, agents, seconds, folder):
    script = os.path.join(folder, "agents.lua")
    with open(script, "w") as f:
        f.write(WRK_SCRIPT % agents)
    per = agents // len(ports)
    runs = [subprocess.Popen(["wrk", "-t", "1", "-c", str(per), "-d", f"{seconds}s",
                              "--timeout", "10s", "--latency", "-s", script,
                              f"http://{LOOPBACK}:{port}/"],
                             stdout=subprocess.PIPE, text=True) for port in ports]
    total = 0.0
    for port, run in zip(ports, runs):
        out = run.communicate(timeout=seconds + 60)[0]
        rate = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))
        total += rate
        lat = dict(re.findall(r"^\s+(50|99)%\s+(\S+)", out, re.M))
        errors = re.search(r"Non-2xx or 3xx responses: (\d+)", out)
        print(f"    instance :{port}: {rate:.0f} req/s, p50 {lat.get('50')}, p99 {lat.get('99')}, "
              f"non-2xx {errors.group(1) if errors else 0}")
    return total


async def open_stream(port, token):
    reader, writer = await asyncio.open_connection(LOOPBACK, port)
    writer.write(f"GET /api/events HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer {token}\r\n"
                 f"Accept: text/event-stream\r\n\r\n".encode())
    await writer.drain()
    seen = b""
    while b"event: ready" not in seen:
        chunk = await reader.read(4096)
        if not chunk:
            raise ConnectionError(seen[:200])
        seen += chunk
    return reader, writer


async def streams(relay, users, count, seconds):
    before = relay.rss_kib()
    started = time.time()
    opened = []
    per_device = (count + users - 1) // users
    for batch in range(0, count, 500):
        tokens = [f"device-{(i // per_device) + 1}" for i in range(batch, min(count, batch + 500))]
        opened += await asyncio.wait_for(
            asyncio.gather(*(open_stream(relay.port, t) for t in tokens)), timeout=60)
    took = time.time() - started
    await asyncio.sleep(min(seconds, 5))
    after = relay.rss_kib()
    print(f"    {len(opened)} streams open in {took:.1f} s; server RSS {before / 1024:.1f} -> "
          f"{after / 1024:.1f} MiB: {(after - before) * 1024 / len(opened):.0f} bytes a stream")
    for _, writer in opened:
        writer.close()
    # Until the server has seen them all go (its connection cap would refuse the next phase).
    deadline = time.time() + 60
    while time.time() < deadline:
        try:
            if (await http(relay.port, "GET", "/api/health", "", timeout=5))[0] == 200:
                break
        except (OSError, asyncio.TimeoutError, IndexError, ValueError):
            pass
        await asyncio.sleep(0.5)


async def http(port, method, path, token, body=None, timeout=30):
    reader, writer = await asyncio.open_connection(LOOPBACK, port)
    data = body.encode() if body else b""
    writer.write(f"{method} {path} HTTP/1.1\r\nHost: localhost\r\nAuthorization: Bearer {token}\r\n"
                 f"Content-Type: application/json\r\nContent-Length: {len(data)}\r\n"
                 f"Connection: close\r\n\r\n".encode() + data)
    await writer.drain()
    answer = await asyncio.wait_for(reader.read(), timeout)
    writer.close()
    return int(answer.split(b" ", 2)[1]), answer.split(b"\r\n\r\n", 1)[1]


async def across(a, b, rounds):
    import json
    waits = []
    for n in range(rounds):
        status, body = await http(a.port, "POST", "/api/sessions/s1/questions", "agent-1",
                                  json.dumps({"context": "", "question_text": f"Go on? {n}"}))
        question = json.loads(body)["id"]
        held = asyncio.ensure_future(http(
            a.port, "GET", f"/api/sessions/s1/questions/{question}/reply?timeout=25", "agent-1"))
        await asyncio.sleep(0.05)
        start = time.perf_counter()
        await http(b.port, "POST", f"/api/questions/{question}/reply", "device-1",
                   json.dumps({"reply_text": "y"}))
        status, _ = await held
        waits.append((time.perf_counter() - start) * 1000)
        if status != 200:
            raise SystemExit(f"held request answered {status}")
    waits.sort()
    print(f"    {rounds} replies: p50 {statistics.median(waits):.1f} ms, "
          f"p99 {waits[min(len(waits) - 1, int(len(waits) * 0.99))]:.1f} ms, max {waits[-1]:.1f} ms"
          " (from posting the answer on B to the held request's answer on A)")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--agents", type=int, default=1000)
    parser.add_argument("--streams", type=int, default=10000)
    parser.add_argument("--rounds", type=int, default=200)
    parser.add_argument("--seconds", type=int, default=10)
    parser.add_argument("--only", default="polling,streams,across",
                        help="the phases to run, separated by commas")
    args = parser.parse_args()
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (hard, hard))
    if args.streams + 100 > hard:
        raise SystemExit(f"{args.streams} streams need more than {hard} file descriptors")
    binary = os.path.join(args.build, "src/server/quillet-server")
    users = max(args.agents, (args.streams + 3) // 4)  # four streams a device at most
    print(f"machine: {os.cpu_count()} cores, load {os.getloadavg()}")
    pg = Postgres()
    relays = []
    try:
        relays.append(Relay(binary, pg.url))
        relays.append(Relay(binary, pg.url))
        seed(pg, users, args.agents)
        a, b = relays
        phases = args.only.split(",")
        if "polling" in phases:
            with tempfile.TemporaryDirectory() as folder:
                print(f"agent polling, {args.agents} agents, {args.seconds} s:")
                print("  one instance:")
                wrk([a.port], args.agents, args.seconds, folder)
                print("  two instances:")
                total = wrk([a.port, b.port], args.agents, args.seconds, folder)
                print(f"    together {total:.0f} req/s")
        if "streams" in phases:
            print("event streams on one instance:")
            asyncio.run(streams(a, users, args.streams, args.seconds))
        if "across" in phases:
            print("a reply on B answering a request held on A:")
            asyncio.run(across(a, b, args.rounds))
        print(f"load afterwards {os.getloadavg()}")
    finally:
        for relay in relays:
            relay.stop()
        pg.stop()


if __name__ == "__main__":
    main()
