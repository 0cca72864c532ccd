"""varnex: a DB-API 2.0 (PEP 249) module for Varnex gateways.

    import varnex
    with varnex.connect("127.0.0.1", 8600, "sample", user="alice") as conn:
        cur = conn.cursor()
        cur.execute("SELECT id, name FROM t WHERE id = ?", (1,))
        print(cur.fetchall())

connect() asks the master's port server on the base port for a gateway,
then STARTs it and CONNECTs it to the data source; closing the connection
DISCONNECTs and STOPs the gateway. The gateway runs with autocommit off:
commit() and rollback() end the transaction, and `with conn:` commits when
the block succeeds and rolls back when it raises, keeping the connection
open (as psycopg2 does).

Values come back by the type letter of their field description: N as int
(Decimal when the field has decimals, float for a floating-point text), D as
datetime.date, L as bool, C and everything else as str, M (long text or
binary) as the gateway's placeholder text. The protocol sends NULL as the
empty text: an empty N, D, L or M value is None, an empty C value is "".

Parameters (qmark style) go to the gateway as values of the statement's
markers, which it binds (never pasted into the statement), in any statement:
queries, INSERT, UPDATE, DELETE. None is sent as NULL. A `?` inside quotes,
dollar quotes, quoted names or comments is no marker, and `??` stands for a
literal `?` (the jsonb operator) when the statement has parameters; a
statement without parameters is sent as written. Statements and values may
be of any length: what does not fit one packet goes in pieces, up to what
the gateway takes for one request (ODBServer max_statement_bytes, 64 MiB by
default). executemany() runs one prepared statement again for each
parameter set.

rowcount: the rows of a query; for other statements the rows they changed as
the data source counts them (-1 where it cannot tell); executemany() adds up
the counts of its executions.
"""

import datetime as _datetime
import re as _re
import decimal as _decimal
import time as _time

from varnex._errors import (  # noqa: F401 - exported names
    DatabaseError,
    DataError,
    Error,
    IntegrityError,
    InterfaceError,
    InternalError,
    NotSupportedError,
    OperationalError,
    ProgrammingError,
    Warning,
)
from varnex import _varnex

apilevel = "2.0"
# Threads may share the module, not connections: a connection is one gateway
# session whose requests are answered in order.
threadsafety = 1
paramstyle = "qmark"

__all__ = [
    "apilevel", "threadsafety", "paramstyle", "connect", "Connection", "Cursor", "Table",
    "Warning", "Error", "InterfaceError", "DatabaseError", "DataError", "OperationalError",
    "IntegrityError", "InternalError", "ProgrammingError", "NotSupportedError",
    "Date", "Time", "Timestamp", "DateFromTicks", "TimeFromTicks", "TimestampFromTicks",
    "Binary", "STRING", "BINARY", "NUMBER", "DATETIME", "ROWID",
]


# ---- type objects and constructors ------------------------------------------

class _TypeSet(frozenset):
    """A type object: equal to each type letter it covers."""

    def __eq__(self, other):
        if isinstance(other, str):
            return other in self
        return frozenset.__eq__(self, other)

    def __ne__(self, other):
        return not self.__eq__(other)

    __hash__ = frozenset.__hash__


STRING = _TypeSet("CT")
BINARY = _TypeSet("M")
NUMBER = _TypeSet("N")
DATETIME = _TypeSet("D")
ROWID = _TypeSet()

Date = _datetime.date
Time = _datetime.time
Timestamp = _datetime.datetime


def DateFromTicks(ticks):
    return Date(*_time.localtime(ticks)[:3])


def TimeFromTicks(ticks):
    return Time(*_time.localtime(ticks)[3:6])


def TimestampFromTicks(ticks):
    return Timestamp(*_time.localtime(ticks)[:6])


def Binary(value):
    return bytes(value)


# ---- parameters -------------------------------------------------------------

_QUERY = _re.compile(r"[\s(]*(select|with|values)\b", _re.IGNORECASE)


def _reads_like_query(sql):
    """True for a statement that starts with SELECT, WITH or VALUES."""
    return _QUERY.match(sql) is not None


def _param_text(value):
    """A parameter value as the text the gateway binds; None stays None
    (NULL)."""
    if value is None:
        return None
    if isinstance(value, bool):
        return "1" if value else "0"
    if isinstance(value, (int, _decimal.Decimal, str)):
        return str(value)
    if isinstance(value, float):
        return repr(value)
    if isinstance(value, _datetime.datetime):
        return value.isoformat(" ")
    if isinstance(value, (_datetime.date, _datetime.time)):
        return value.isoformat()
    raise NotSupportedError("parameters of type %s cannot be sent" % type(value).__name__)


def _record_text(value):
    """A value of a record write: None is the blank text, which leaves a NULL
    column NULL."""
    return "" if value is None else _param_text(value)


# ---- connections ------------------------------------------------------------

def connect(host="127.0.0.1", port=None, dsn="", user="", password="", gateway_port=0,
            timeout=30.0, tlsmode=None, tlsrootcert=None, tlscert=None, tlskey=None):
    """Opens a connection to data source `dsn` through the master on `port`.

    port: the master's base port; gateway_port instead connects straight to
    a gateway started by hand. timeout (seconds, 0 for none) bounds each
    wait for the gateway's answer. tlsmode (disable, prefer, require,
    verify-ca, verify-full, as psql's sslmode), tlsrootcert (the CA file),
    tlscert and tlskey (a client certificate) default to the environment
    variables VNX_TLSMODE, VNX_TLSROOTCERT, VNX_TLSCERT and VNX_TLSKEY.
    """
    if not port and not gateway_port:
        raise InterfaceError("connect: give the master's base port (port=) or a gateway_port")
    if not dsn:
        raise InterfaceError("connect: no data source name (dsn=)")
    session = _varnex.Session(host, int(port or 0), int(gateway_port), dsn, user, password,
                              int(timeout * 1000), tlsmode or "", tlsrootcert or "",
                              tlscert or "", tlskey or "")
    return Connection(session)


class Connection:
    Warning = Warning
    Error = Error
    InterfaceError = InterfaceError
    DatabaseError = DatabaseError
    DataError = DataError
    OperationalError = OperationalError
    IntegrityError = IntegrityError
    InternalError = InternalError
    ProgrammingError = ProgrammingError
    NotSupportedError = NotSupportedError

    def __init__(self, session):
        self._session = session
        self._autocommit = False

    @property
    def closed(self):
        return self._session.closed

    @property
    def gateway_pid(self):
        """The process id of this connection's gateway."""
        return self._session.gateway_pid

    @property
    def autocommit(self):
        return self._autocommit

    @autocommit.setter
    def autocommit(self, value):
        # The gateway keeps the driver's autocommit off; this module commits
        # after each statement instead when asked to.
        self._autocommit = bool(value)

    def _check(self):
        if self._session.closed:
            raise InterfaceError("the connection is closed")

    def close(self):
        """Ends the session; uncommitted work is rolled back by the data source."""
        self._session.close()

    def commit(self):
        self._check()
        self._session.commit()

    def rollback(self):
        self._check()
        self._session.rollback()

    def cursor(self):
        self._check()
        return Cursor(self)

    def table(self, name, alias=None, **options):
        """Opens table `name` for record access (see Table)."""
        self._check()
        return Table(self, name, alias, **options)

    def __enter__(self):
        self._check()
        return self

    def __exit__(self, exc_type, exc, tb):
        if self._session.closed:
            return False
        if exc_type is None:
            self.commit()
        else:
            self.rollback()
        return False


class Cursor:
    def __init__(self, connection):
        self.connection = connection
        self.arraysize = 1
        self._result = None
        self._rowcount = -1
        self._closed = False

    @property
    def description(self):
        if self._result is None:
            return None
        fields = self._result.description
        if fields is None:
            return None
        # (name, type_code, display_size, internal_size, precision, scale,
        # null_ok): field descriptions carry no nullability.
        return [(name, letter, width, width, width if letter == "N" else None,
                 decimals if letter == "N" else None, None)
                for name, letter, width, _readonly, decimals in fields]

    @property
    def rowcount(self):
        """Rows of the last query, or the rows the last other statement
        changed (-1 when the data source cannot tell)."""
        return self._rowcount

    def _check(self):
        if self._closed:
            raise InterfaceError("the cursor is closed")
        self.connection._check()

    def close(self):
        self._closed = True
        self._result = None

    def execute(self, operation, parameters=None):
        self._check()
        self._result = None
        self._rowcount = -1
        params = () if parameters is None else tuple(parameters)
        if params:
            # Markers are found by the one lexer of the client library; ??
            # outside quotes and comments is sent as a literal ?. Without
            # parameters the statement goes as written, never scanned.
            markers, operation = _varnex.scan_markers(operation)
            if markers != len(params):
                raise ProgrammingError("the statement has %d parameter markers, %d values were "
                                       "given" % (markers, len(params)))
        session = self.connection._session
        if params or not _reads_like_query(operation):
            # Through the parameter form also without values: its answer
            # says how many rows the statement changed.
            result = session.execute_params(operation, [_param_text(v) for v in params])
        else:
            result = session.execute(operation)
        self._result = result
        if result.description is not None:
            self._rowcount = result.rows
        else:
            self._rowcount = result.row_count
        if self.connection._autocommit:
            self.connection.commit()
        return self

    def executemany(self, operation, seq_of_parameters):
        self._check()
        total = 0
        for parameters in seq_of_parameters:
            self.execute(operation, parameters)
            if total >= 0:
                total = total + self._rowcount if self._rowcount >= 0 else -1
        self._result = None
        self._rowcount = total

    def _rows(self, n):
        self._check()
        if self._result is None or self._result.description is None:
            raise ProgrammingError("no result: the last statement was not a query")
        return self._result.fetch(n)

    def fetchone(self):
        rows = self._rows(1)
        return rows[0] if rows else None

    def fetchmany(self, size=None):
        return self._rows(self.arraysize if size is None else size)

    def fetchall(self):
        return self._rows(-1)

    def __iter__(self):
        return self

    def __next__(self):
        row = self.fetchone()
        if row is None:
            raise StopIteration
        return row

    def setinputsizes(self, sizes):
        pass

    def setoutputsize(self, size, column=None):
        pass

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False


# ---- record access ------------------------------------------------------------

class Table:
    """A table opened for record access: records by number, 1 for the first.

    alias: the name the gateway knows it by (default: the table's name);
    filter: a condition on its rows ("*" or empty: all); order: an order key;
    shared, readonly: how it is opened. Values are read as tuples converted
    like query rows (read() returns None past the last record) and written
    as texts in column order, as the gateway takes them.
    """

    def __init__(self, connection, name, alias=None, filter="", order="", shared=False,
                 readonly=False):
        self.connection = connection
        self.name = name
        self.alias = alias or name
        self.fields = None
        self.records = connection._session.use(name, self.alias, shared, readonly, filter, order)
        self._open = True

    def _session(self):
        if not self._open:
            raise InterfaceError("the table is closed")
        self.connection._check()
        return self.connection._session

    def count(self):
        self.records = self._session().count(self.alias)
        return self.records

    def read(self, recno, lock=False):
        got = self._session().read(self.alias, int(recno), bool(lock))
        if got is None:
            return None
        self.fields, values = got
        return values

    def update(self, recno, values):
        self._session().update(self.alias, int(recno), [_record_text(v) for v in values])

    def insert(self, values):
        recno = self._session().insert(self.alias, [_record_text(v) for v in values])
        self.records = max(self.records, recno)
        return recno

    def delete(self, recno):
        self._session().delete(self.alias, int(recno))

    def find(self, key, value, exact=False, lock=False, type="C"):
        """The number of the first record whose `key` matches `value`."""
        if value is None:
            raise NotSupportedError("find: a key value cannot be NULL")
        return self._session().find(self.alias, self.name, key, _param_text(value), bool(exact),
                                    bool(lock), type)

    def lock(self, recno):
        self._session().lock(self.alias, int(recno))

    def unlock(self):
        self._session().unlock(self.alias)

    def islocked(self, recno):
        """0 when record `recno` is free or held by this session."""
        return self._session().islocked(self.alias, int(recno))

    def close(self):
        if self._open and not self.connection.closed:
            self.connection._session.unuse(self.alias)
        self._open = False

    def __enter__(self):
        return self

    def __exit__(self, exc_type, exc, tb):
        self.close()
        return False
