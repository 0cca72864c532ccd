"""Throwaway servers for the tests and the benchmark: a master and PostgreSQL.

VNX_BUILD_DIR names the build tree that holds db_dqpserver, odbserver and
vnxadmin (default: build/rel of the repository). A Master gets a temporary
DB_ROOT with a copy of odbserver, a configuration store made by `vnxadmin
init`, the project's ODBC driver list and an odbc.ini of its DSNs (at first
"pysqlite", an SQLite file in DB_ROOT). A PostgresServer has its own data
directory and port and runs as "nobody" when started by root. Both are ended
and removed by their owners.
"""

import glob
import os
import pwd
import shutil
import socket
import subprocess
import tempfile
import time

REPO = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.abspath(os.environ.get("VNX_BUILD_DIR", os.path.join(REPO, "build", "rel")))


def _program(name):
    path = os.path.join(BUILD, "programs", name, name)
    if not os.access(path, os.X_OK):
        raise RuntimeError("%s not found: build the project first or set VNX_BUILD_DIR" % path)
    return path


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _wait(predicate, seconds, what):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if predicate():
            return
        time.sleep(0.02)
    raise RuntimeError("timed out waiting for " + what)


class PostgresServer:
    """A throwaway PostgreSQL server; user "vnx", password "secret"."""

    def __init__(self):
        bins = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                      key=lambda p: int(p.split("/")[4]))
        self.bin = os.path.dirname(bins[-1]) if bins else None
        self.dir = None
        self.port = None

    def _run(self, args):
        user = None
        if os.geteuid() == 0:
            user = pwd.getpwnam("nobody").pw_uid
        subprocess.run(args, check=True, user=user, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, stderr=subprocess.STDOUT, cwd=self.dir)

    def start(self):
        self.dir = tempfile.mkdtemp(prefix="vnx_pypg_")
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chown(self.dir, nobody.pw_uid, nobody.pw_gid)
        pwfile = os.path.join(self.dir, "pw")
        with open(pwfile, "w") as f:
            f.write("secret\n")
        if os.geteuid() == 0:
            os.chown(pwfile, nobody.pw_uid, nobody.pw_gid)
        self._run([self.bin + "/initdb", "-D", self.dir + "/data", "-U", "vnx",
                   "--pwfile=" + pwfile, "--auth-host=scram-sha-256", "--auth-local=trust",
                   "-E", "UTF8", "--no-sync"])
        self.port = free_port()
        opts = "-p %d -k %s -c listen_addresses=127.0.0.1 -c fsync=off" % (self.port, self.dir)
        self._run([self.bin + "/pg_ctl", "start", "-w", "-D", self.dir + "/data", "-l",
                   self.dir + "/server.log", "-o", opts])

    def stop(self):
        if self.dir is None:
            return
        try:
            self._run([self.bin + "/pg_ctl", "stop", "-w", "-D", self.dir + "/data", "-m",
                       "immediate"])
        finally:
            shutil.rmtree(self.dir, ignore_errors=True)

    def dsn_body(self, extra=""):
        return ("Driver=PostgreSQL Unicode\nServername=127.0.0.1\nPort=%d\nDatabase=postgres\n%s"
                % (self.port, extra))


class Master:
    """db_dqpserver --headless on a free base port with a temporary DB_ROOT."""

    def __init__(self):
        self.root = tempfile.mkdtemp(prefix="vnx_py_")
        self.env = dict(os.environ)
        self.env.update(VNX_REGISTRY=os.path.join(self.root, "registry.db"),
                        ODBCSYSINI=self.root, ODBCINI=os.path.join(self.root, "odbc.ini"),
                        DQP_SPAWNWAIT="20")
        self.dsns = {"pysqlite": "Driver=SQLite3\nDatabase=%s/py.db\n" % self.root}
        self.proc = None
        self.port = None

    def vnxadmin(self, *args):
        subprocess.run([_program("vnxadmin")] + list(args), check=True, env=self.env,
                       stdout=subprocess.DEVNULL)

    def add_dsn(self, name, body):
        self.dsns[name] = body
        self._write_odbc_ini()

    def _write_odbc_ini(self):
        with open(os.path.join(self.root, "odbc.ini"), "w") as f:
            for name, body in self.dsns.items():
                f.write("[%s]\n%s\n" % (name, body))

    def start(self):
        shutil.copy(_program("odbserver"), os.path.join(self.root, "odbserver"))
        os.chmod(os.path.join(self.root, "odbserver"), 0o700)
        subprocess.run([os.path.join(REPO, "scripts", "odbc-ini"), self.root], check=True)
        self._write_odbc_ini()
        for attempt in range(5):
            self.port = free_port()
            self.vnxadmin("init", "--db-root", self.root, "--base-port", str(self.port),
                          "--force")
            err = open(os.path.join(self.root, "master.err"), "w")
            self.proc = subprocess.Popen([_program("db_dqpserver"), "--headless"], cwd=self.root,
                                         env=self.env, stdin=subprocess.DEVNULL,
                                         stdout=subprocess.DEVNULL, stderr=err)
            err.close()
            try:
                _wait(self._ready, 10, "the master")
                return
            except RuntimeError:
                self.stop()  # another process took the port first: try another
        raise RuntimeError("the master did not start; see %s/master.err" % self.root)

    def _ready(self):
        if self.proc.poll() is not None:
            raise RuntimeError("the master exited")
        r = subprocess.run([_program("vnxadmin"), "ping", "--port", str(self.port)], env=self.env,
                           stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        return r.returncode == 0

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def remove(self):
        self.stop()
        shutil.rmtree(self.root, ignore_errors=True)
