"""Fixtures: a real master on loopback with its own store, and data sources.

The DSN "pysqlite" is an SQLite file in the master's DB_ROOT; "pypg" a
throwaway PostgreSQL server, when its programs are installed (the tests that
need it skip otherwise, naming the package). See vnx_servers.py.
"""

import os
import sys

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from vnx_servers import Master, PostgresServer  # noqa: E402


@pytest.fixture(scope="session")
def master():
    m = Master()
    try:
        m.start()
        yield m
    finally:
        m.remove()


@pytest.fixture(scope="session")
def postgres(master):
    pg = PostgresServer()
    if pg.bin is None:
        pytest.skip("PostgreSQL server programs (initdb, pg_ctl) not found: install package "
                    "postgresql")
    try:
        pg.start()
        # Booleans as SQL_BIT (type letter L) rather than the driver's default text.
        master.add_dsn("pypg", pg.dsn_body("BoolsAsChar=0\n"))
        yield pg
    finally:
        pg.stop()


@pytest.fixture(params=["sqlite", "postgres"])
def source(request, master):
    """Each test that takes it runs once per data source: (dsn, user, password)."""
    if request.param == "sqlite":
        return ("pysqlite", "", "")
    request.getfixturevalue("postgres")
    return ("pypg", "vnx", "secret")


@pytest.fixture
def conn(master, source):
    import varnex

    dsn, user, password = source
    c = varnex.connect("127.0.0.1", master.port, dsn, user=user, password=password)
    yield c
    if not c.closed:
        c.rollback()
        c.close()
