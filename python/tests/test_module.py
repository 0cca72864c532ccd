"""What needs no server: module globals, markers, parameter texts, type objects."""

import datetime
import decimal

import pytest

import varnex


def test_module_globals_follow_pep_249():
    assert varnex.apilevel == "2.0"
    assert varnex.paramstyle == "qmark"
    assert varnex.threadsafety == 1


def test_exception_hierarchy_follows_pep_249():
    assert issubclass(varnex.Error, Exception)
    assert issubclass(varnex.Warning, Exception)
    assert not issubclass(varnex.Warning, varnex.Error)
    assert issubclass(varnex.InterfaceError, varnex.Error)
    assert issubclass(varnex.DatabaseError, varnex.Error)
    for cls in (varnex.DataError, varnex.OperationalError, varnex.IntegrityError,
                varnex.InternalError, varnex.ProgrammingError, varnex.NotSupportedError):
        assert issubclass(cls, varnex.DatabaseError)


@pytest.mark.parametrize("sql,count,sent", [
    ("SELECT 1", 0, None),
    ("SELECT a FROM t WHERE a = ? AND b = ?", 2, None),
    ("SELECT '?' FROM t WHERE a = ?", 1, None),
    ("SELECT 'it''s ?' FROM t", 0, None),
    ('SELECT "col?" FROM t', 0, None),
    ("SELECT a -- why?\nFROM t WHERE a = ?", 1, None),
    ("SELECT /* ? /* ? */ ? */ a FROM t", 0, None),
    ("SELECT 'unterminated ?", 0, None),
    ("SELECT $$what?$$, ?", 1, None),
    ("SELECT $f$ $$?$$ $f$", 0, None),
    ("SELECT E'it\\'s?', ?", 1, None),
    ("SELECT '{\"a\":1}'::jsonb ?? 'a', ?", 1, "SELECT '{\"a\":1}'::jsonb ? 'a', ?"),
])
def test_markers_are_found_outside_quotes_and_comments(sql, count, sent):
    assert varnex._varnex.scan_markers(sql) == (count, sent or sql)


@pytest.mark.parametrize("value,text", [
    (42, "42"),
    (-7, "-7"),
    (True, "1"),
    (False, "0"),
    (2.5, "2.5"),
    (decimal.Decimal("12.50"), "12.50"),
    ("it's", "it's"),
    (datetime.date(2001, 2, 3), "2001-02-03"),
    (datetime.datetime(2001, 2, 3, 4, 5, 6), "2001-02-03 04:05:06"),
])
def test_parameter_values_become_texts(value, text):
    assert varnex._param_text(value) == text


def test_null_parameter_stays_none_and_binary_is_refused():
    assert varnex._param_text(None) is None  # sent as NULL
    with pytest.raises(varnex.NotSupportedError):
        varnex._param_text(b"\x00\x01")


def test_type_objects_compare_equal_to_their_letters():
    assert varnex.NUMBER == "N"
    assert varnex.STRING == "C"
    assert varnex.DATETIME == "D"
    assert varnex.BINARY == "M"
    assert varnex.NUMBER != "C"


def test_connect_without_port_or_dsn_is_refused():
    with pytest.raises(varnex.InterfaceError):
        varnex.connect("127.0.0.1", None, "x")
    with pytest.raises(varnex.InterfaceError):
        varnex.connect("127.0.0.1", 1, "")


def test_connect_to_nothing_is_an_operational_error():
    import socket
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        port = s.getsockname()[1]
    with pytest.raises(varnex.OperationalError):
        varnex.connect("127.0.0.1", port, "x", timeout=2)
