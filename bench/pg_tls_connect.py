#!/usr/bin/python3
"""New sessions over TLS: Varnex's figures beside PostgreSQL's own, one run.

Starts a throwaway PostgreSQL server (python/tests/vnx_servers.py) with TLS
switched on (a certificate made by the openssl program), then, taking turns
for --rounds rounds, times a new connection that runs "SELECT 1" and closes:

  - psql "sslmode=disable" and psql "sslmode=require" (a new psql process
    each time, as a user types it; the process start is part of the figure);
  - libpq in this process (psycopg2), sslmode=disable and sslmode=require,
    which leaves the process start out and shows the handshake alone;

and prints the median and the spread (fastest, slowest) of each, with the
cost TLS adds (require minus disable). Then it runs tls_bench (new sessions,
round trip and FETCHMANY through a master, TLS beside plain) so that both
sets of figures come from the same run on the same machine.

    bench/pg_tls_connect.py [--rounds N] [--tls-bench-args "..."]

VNX_BUILD_DIR names the build tree (default build/rel). Needs PostgreSQL's
server programs, psql, python3-psycopg2 and openssl.
"""

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "python",
                                "tests"))
import vnx_servers  # noqa: E402

import psycopg2  # noqa: E402


def enable_tls(pg):
    """Gives the server a self-signed certificate and switches ssl on."""
    data = os.path.join(pg.dir, "data")
    crt, key = os.path.join(data, "server.crt"), os.path.join(data, "server.key")
    subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1",
                    "-subj", "/CN=127.0.0.1", "-keyout", key, "-out", crt],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.chmod(key, 0o600)
    if os.geteuid() == 0:
        st = os.stat(data)
        os.chown(crt, st.st_uid, st.st_gid)
        os.chown(key, st.st_uid, st.st_gid)
    conn = psycopg2.connect(host="127.0.0.1", port=pg.port, user="vnx", password="secret",
                            dbname="postgres", sslmode="disable")
    conn.autocommit = True
    cur = conn.cursor()
    cur.execute("ALTER SYSTEM SET ssl = on")
    cur.execute("SELECT pg_reload_conf()")
    conn.close()
    for _ in range(100):  # the reload is asynchronous
        try:
            psycopg2.connect(host="127.0.0.1", port=pg.port, user="vnx", password="secret",
                             dbname="postgres", sslmode="require").close()
            return
        except psycopg2.OperationalError:
            time.sleep(0.05)
    raise RuntimeError("the server did not take TLS connections after the reload")


def psql_once(pg, mode):
    conninfo = "host=127.0.0.1 port=%d user=vnx dbname=postgres sslmode=%s" % (pg.port, mode)
    env = dict(os.environ, PGPASSWORD="secret")
    start = time.perf_counter()
    subprocess.run(["psql", "-X", "-q", "-At", "-c", "SELECT 1", conninfo], check=True, env=env,
                   stdout=subprocess.DEVNULL)
    return time.perf_counter() - start


def libpq_once(pg, mode):
    start = time.perf_counter()
    conn = psycopg2.connect(host="127.0.0.1", port=pg.port, user="vnx", password="secret",
                            dbname="postgres", sslmode=mode)
    cur = conn.cursor()
    cur.execute("SELECT 1")
    cur.fetchone()
    conn.close()
    return time.perf_counter() - start


def report(name, times):
    ms = sorted(t * 1000 for t in times)
    print("  %-28s median %7.2f ms  (fastest %6.2f, slowest %6.2f)"
          % (name, statistics.median(ms), ms[0], ms[-1]))
    return statistics.median(ms)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--rounds", type=int, default=50)
    ap.add_argument("--tls-bench-args", default="--sessions 200 --requests 20000")
    args = ap.parse_args()
    if shutil.which("psql") is None:
        sys.exit("pg_tls_connect: psql not found (Debian package postgresql-client)")
    pg = vnx_servers.PostgresServer()
    if pg.bin is None:
        sys.exit("pg_tls_connect: PostgreSQL's server programs are not installed")
    kinds = [("psql sslmode=disable", psql_once, "disable"),
             ("psql sslmode=require", psql_once, "require"),
             ("libpq sslmode=disable", libpq_once, "disable"),
             ("libpq sslmode=require", libpq_once, "require")]
    times = {name: [] for name, _, _ in kinds}
    pg.start()
    try:
        enable_tls(pg)
        for _ in range(3):  # warm the page cache and the server
            for _, once, mode in kinds:
                once(pg, mode)
        for _ in range(args.rounds):
            for name, once, mode in kinds:
                times[name].append(once(pg, mode))
    finally:
        pg.stop()
    print("PostgreSQL 127.0.0.1, connect + SELECT 1 + close, %d rounds taking turns:"
          % args.rounds)
    med = {name: report(name, times[name]) for name, _, _ in kinds}
    print("  TLS adds: psql %.2f ms, libpq %.2f ms"
          % (med["psql sslmode=require"] - med["psql sslmode=disable"],
             med["libpq sslmode=require"] - med["libpq sslmode=disable"]))
    tls_bench = os.path.join(vnx_servers.BUILD, "bench", "tls_bench")
    print("\n%s %s" % (tls_bench, args.tls_bench_args), flush=True)
    return subprocess.run([tls_bench] + args.tls_bench_args.split()).returncode


if __name__ == "__main__":
    sys.exit(main())
