"""The exception hierarchy of DB-API 2.0 (PEP 249).

The native module raises these: InterfaceError for a closed connection or
cursor, OperationalError when the gateway cannot be reached or the connection
to it broke, and for a request the gateway or the data source refused the
class its diagnostic text points to (the protocol carries the text, not an
SQLSTATE), DatabaseError when nothing in it does. The message holds the
request and the data source's own text.
"""


class Warning(Exception):  # noqa: A001 - the name PEP 249 gives it
    pass


class Error(Exception):
    pass


class InterfaceError(Error):
    pass


class DatabaseError(Error):
    pass


class DataError(DatabaseError):
    pass


class OperationalError(DatabaseError):
    pass


class IntegrityError(DatabaseError):
    pass


class InternalError(DatabaseError):
    pass


class ProgrammingError(DatabaseError):
    pass


class NotSupportedError(DatabaseError):
    pass
