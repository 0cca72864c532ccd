"""Connections and cursors against a live master, on SQLite and PostgreSQL."""

import datetime
import decimal
import gc
import threading

import pytest

import varnex


def make_table(conn, name, columns):
    cur = conn.cursor()
    try:
        cur.execute("DROP TABLE %s" % name)
    except varnex.DatabaseError:
        conn.rollback()
    cur.execute("CREATE TABLE %s (%s)" % (name, columns))
    conn.commit()
    return cur


def test_query_rows_arrive_as_tuples_in_order(conn):
    cur = make_table(conn, "q1", "id INTEGER PRIMARY KEY, name VARCHAR(20)")
    for i in range(1, 6):
        cur.execute("INSERT INTO q1 VALUES (%d, 'n%d')" % (i, i))
    cur.execute("SELECT id, name FROM q1 ORDER BY id")
    assert cur.rowcount == 5
    assert cur.fetchone() == (1, "n1")
    assert cur.fetchmany(2) == [(2, "n2"), (3, "n3")]
    assert cur.fetchall() == [(4, "n4"), (5, "n5")]
    assert cur.fetchone() is None
    assert cur.fetchall() == []


def test_fetchmany_default_size_is_arraysize(conn):
    cur = make_table(conn, "q2", "id INTEGER")
    for i in range(5):
        cur.execute("INSERT INTO q2 VALUES (%d)" % i)
    cur.execute("SELECT id FROM q2 ORDER BY id")
    assert cur.fetchmany() == [(0,)]
    cur.arraysize = 3
    assert cur.fetchmany() == [(1,), (2,), (3,)]


def test_cursor_iterates_over_its_rows(conn):
    cur = make_table(conn, "q3", "id INTEGER")
    for i in range(3):
        cur.execute("INSERT INTO q3 VALUES (%d)" % i)
    cur.execute("SELECT id FROM q3 ORDER BY id")
    assert [r[0] for r in cur] == [0, 1, 2]


def test_empty_result_has_description_and_no_rows(conn):
    cur = make_table(conn, "q4", "id INTEGER, name VARCHAR(20)")
    cur.execute("SELECT id, name FROM q4")
    assert [d[0] for d in cur.description] == ["id", "name"]
    assert cur.rowcount == 0
    assert cur.fetchall() == []


def test_description_gives_letters_widths_and_scale(conn):
    cur = make_table(conn, "q5", "id INTEGER, name VARCHAR(20), d DATE")
    cur.execute("SELECT id, name, d FROM q5")
    desc = cur.description
    assert all(len(d) == 7 for d in desc)
    assert [d[1] for d in desc] == ["N", "C", "D"]
    assert desc[0][1] == varnex.NUMBER and desc[1][1] == varnex.STRING
    assert desc[1][2] == 20
    assert desc[2][1] == varnex.DATETIME


def test_statement_without_result_has_no_description(conn):
    cur = make_table(conn, "q6", "id INTEGER")
    cur.execute("INSERT INTO q6 VALUES (1)")
    assert cur.description is None
    assert cur.rowcount == 1  # the rows the statement changed
    with pytest.raises(varnex.ProgrammingError):
        cur.fetchone()


def test_values_convert_by_type_letter(conn, source):
    cur = make_table(conn, "v1", "i INTEGER, s VARCHAR(20), d DATE, r DOUBLE PRECISION")
    cur.execute("INSERT INTO v1 VALUES (-42, 'caf\u00e9', '2001-02-03', 2.5)")
    cur.execute("SELECT i, s, d, r FROM v1")
    i, s, d, r = cur.fetchone()
    assert i == -42 and type(i) is int
    assert s == "caf\u00e9"
    assert d == datetime.date(2001, 2, 3)
    assert r == 2.5 and type(r) is float


def test_rows_of_plain_values_are_left_out_of_the_cycle_collector(conn):
    cur = make_table(conn, "v5", "i INTEGER, s VARCHAR(20), d DATE, n INTEGER")
    for i in range(600):  # more than one conversion batch
        cur.execute("INSERT INTO v5 VALUES (%d, 'r%d', '2001-02-03', NULL)" % (i, i))
    gc.disable()  # no collection untracks them in passing
    try:
        cur.execute("SELECT i, s, d, n FROM v5 ORDER BY i")
        rows = cur.fetchall()
    finally:
        gc.enable()
    assert len(rows) == 600
    assert rows[0] == (0, "r0", datetime.date(2001, 2, 3), None)
    assert rows[599] == (599, "r599", datetime.date(2001, 2, 3), None)
    assert not any(gc.is_tracked(r) for r in rows)
    gc.collect()  # and the collector still finds them whole
    assert rows[599][1] == "r599"


def test_decimal_column_with_scale_gives_decimal(conn, source):
    if source[0] == "pysqlite":
        pytest.skip("the SQLite driver describes DECIMAL columns without their scale")
    cur = make_table(conn, "v2", "amount DECIMAL(9,2)")
    cur.execute("INSERT INTO v2 VALUES (12.5)")
    cur.execute("SELECT amount FROM v2")
    (amount,) = cur.fetchone()
    assert amount == decimal.Decimal("12.50") and isinstance(amount, decimal.Decimal)


def test_boolean_column_gives_bool(conn, source):
    kind = "BOOLEAN" if source[0] == "pypg" else "BIT"
    cur = make_table(conn, "v3", "id INTEGER, b %s" % kind)
    cur.execute("INSERT INTO v3 VALUES (1, %s)" % ("true" if kind == "BOOLEAN" else "1"))
    cur.execute("INSERT INTO v3 VALUES (2, %s)" % ("false" if kind == "BOOLEAN" else "0"))
    cur.execute("SELECT id, b FROM v3 ORDER BY id")
    rows = cur.fetchall()
    assert cur.description[1][1] == "L"
    assert rows == [(1, True), (2, False)]


def test_nulls_are_none_for_numbers_and_dates_and_empty_for_text(conn):
    cur = make_table(conn, "v4", "id INTEGER, n INTEGER, d DATE, s VARCHAR(10)")
    cur.execute("INSERT INTO v4 VALUES (1, NULL, NULL, NULL)")
    cur.execute("SELECT n, d, s FROM v4")
    assert cur.fetchone() == (None, None, "")


def test_long_text_column_arrives_as_its_text(conn, source):
    long_value = "Ünïcødé € " * 400  # 4,000 characters (6,400 bytes), wider than a field
    cur = make_table(conn, "v6", "id INTEGER, body TEXT")
    cur.execute("INSERT INTO v6 VALUES (1, ?)", (long_value,))
    cur.execute("SELECT body FROM v6")
    row = cur.fetchone()
    assert cur.description[0][1] == "T" and cur.description[0][1] == varnex.STRING
    assert row == (long_value,)


def test_tls_options_are_checked_before_connecting(master):
    with pytest.raises(varnex.InterfaceError, match="tlsmode"):
        varnex.connect("127.0.0.1", master.port, "pysqlite", tlsmode="sometimes")
    with pytest.raises(varnex.InterfaceError):
        varnex.connect("127.0.0.1", master.port, "pysqlite", tlsmode="verify-full")


def test_tls_required_against_a_plain_master_is_a_clear_error(master):
    with pytest.raises(varnex.OperationalError, match="TLS"):
        varnex.connect("127.0.0.1", master.port, "pysqlite", tlsmode="require")


def test_large_integer_keeps_every_digit(conn):
    cur = make_table(conn, "v5", "big BIGINT")
    cur.execute("INSERT INTO v5 VALUES (9007199254740993)")
    cur.execute("SELECT big FROM v5")
    assert cur.fetchone() == (9007199254740993,)


def test_parameter_selects_matching_row_and_quote_stays_data(conn):
    cur = make_table(conn, "p1", "id INTEGER, name VARCHAR(20)")
    cur.execute("INSERT INTO p1 VALUES (1, 'one')")
    cur.execute("INSERT INTO p1 VALUES (2, 'it''s')")
    conn.commit()
    cur.execute("SELECT id, name FROM p1 WHERE id = ?", (2,))
    assert cur.fetchall() == [(2, "it's")]
    cur.execute("SELECT id, name FROM p1 WHERE name = ?", ("it's",))
    assert cur.fetchall() == [(2, "it's")]
    # A value that would change the statement if it were pasted into it.
    cur.execute("SELECT id, name FROM p1 WHERE name = ?", ("x' OR '1'='1",))
    assert cur.fetchall() == []


def test_parameter_count_must_match_markers(conn):
    cur = conn.cursor()
    with pytest.raises(varnex.ProgrammingError):
        cur.execute("SELECT 1 WHERE 1 = ?", ())
    with pytest.raises(varnex.ProgrammingError):
        cur.execute("SELECT 1", (1,))


def test_insert_with_marker_binds_the_value(conn):
    cur = make_table(conn, "p2", "id INTEGER")
    cur.execute("INSERT INTO p2 VALUES (?)", (1,))
    assert cur.rowcount == 1
    cur.execute("SELECT id FROM p2")
    assert cur.fetchall() == [(1,)]


def test_executemany_inserts_updates_and_deletes_with_rowcount(conn):
    cur = make_table(conn, "p4", "id INTEGER, name VARCHAR(20)")
    cur.executemany("INSERT INTO p4 VALUES (?, ?)", [(i, "n%d" % i) for i in range(1, 11)])
    assert cur.rowcount == 10
    cur.executemany("UPDATE p4 SET name = ? WHERE id <= ?", [("low", 3), ("mid", 6)])
    assert cur.rowcount == 3 + 6
    cur.executemany("DELETE FROM p4 WHERE id = ?", [(1,), (2,), (99,)])
    assert cur.rowcount == 2
    conn.commit()
    cur.execute("SELECT id, name FROM p4 WHERE id <= ? ORDER BY id", (7,))
    assert cur.fetchall() == [(3, "mid"), (4, "mid"), (5, "mid"), (6, "mid"), (7, "n7")]


def test_quotes_and_semicolons_in_values_stay_data(conn):
    cur = make_table(conn, "p5", "id INTEGER, name VARCHAR(40)")
    nasty = ["it's", "a'; DROP TABLE p5; --", "\\' OR '1'='1", 'say "hi"; ok']
    cur.executemany("INSERT INTO p5 VALUES (?, ?)", list(enumerate(nasty)))
    cur.execute("UPDATE p5 SET id = id + 100 WHERE name = ?", (nasty[1],))
    assert cur.rowcount == 1
    cur.execute("SELECT name FROM p5 ORDER BY id")
    assert [r[0] for r in cur.fetchall()] == [nasty[0], nasty[2], nasty[3], nasty[1]]


def test_none_parameter_is_null_not_empty_text(conn):
    cur = make_table(conn, "p6", "id INTEGER, name VARCHAR(20), d DATE, n NUMERIC(8,2)")
    cur.execute("INSERT INTO p6 VALUES (?, ?, ?, ?)", (1, None, None, None))
    cur.execute("INSERT INTO p6 VALUES (?, ?, ?, ?)",
                (2, "", datetime.date(2001, 2, 3), decimal.Decimal("12.34")))
    cur.execute("SELECT id FROM p6 WHERE name IS NULL AND d IS NULL AND n IS NULL")
    assert cur.fetchall() == [(1,)]
    cur.execute("SELECT id, d FROM p6 WHERE name = ? AND n > ?", ("", 12))
    assert cur.fetchall() == [(2, datetime.date(2001, 2, 3))]
    cur.execute("UPDATE p6 SET name = ? WHERE id = ?", (None, 2))
    assert cur.rowcount == 1
    cur.execute("SELECT count(*) FROM p6 WHERE name IS NULL")
    assert cur.fetchone() == (2,)


def test_values_the_statement_does_not_take_are_refused(conn):
    cur = make_table(conn, "p7", "id INTEGER, name VARCHAR(20)")
    with pytest.raises(varnex.ProgrammingError):
        cur.execute("INSERT INTO p7 VALUES (?, ?)", (1,))
    with pytest.raises(varnex.ProgrammingError):
        cur.executemany("INSERT INTO p7 VALUES (?, ?)", [(1, "a"), (2, "b", "c")])
    conn.rollback()
    cur.execute("SELECT count(*) FROM p7")
    assert cur.fetchone() == (0,)


def test_long_value_and_statement_go_whole(conn):
    # Longer than one packet: the client sends them in pieces.
    cur = make_table(conn, "p8", "id INTEGER, v TEXT")
    value = "v\u00e9\u20ac" * 20000  # 120000 bytes of 1-, 2- and 3-byte characters
    cur.execute("INSERT INTO p8 VALUES (?, ?)", (1, value))
    cur.execute("SELECT id, length(v) FROM p8 WHERE v = ?", (value,))
    assert cur.fetchall() == [(1, 60000)]
    in_list = ", ".join(str(i) for i in range(4000))
    cur.execute("SELECT count(*) FROM p8 WHERE id IN (%s)" % in_list)
    assert cur.fetchall() == [(1,)]


def test_question_marks_that_are_no_markers(conn, source):
    cur = conn.cursor()
    cur.execute("SELECT CAST('it''s?' AS VARCHAR(9)), CAST(? AS VARCHAR(9))", ("x",))
    assert cur.fetchall() == [("it's?", "x")]
    if source[0] != "pypg":
        return
    # PostgreSQL's own quoting, which a scan for ? outside plain quotes
    # took for markers.
    cur.execute("SELECT CAST($$what?$$ AS VARCHAR(9)), CAST(E'it\\'s?' AS VARCHAR(9))")
    assert cur.fetchall() == [("what?", "it's?")]
    cur.execute("SELECT CAST($$what?$$ AS VARCHAR(9)), CAST(E'it\\'s?' AS VARCHAR(9)), "
                "CAST(? AS VARCHAR(9))", ("y",))
    assert cur.fetchall() == [("what?", "it's?", "y")]


def test_rowcount_of_statement_without_parameters(conn):
    cur = make_table(conn, "p9", "id INTEGER")
    cur.executemany("INSERT INTO p9 VALUES (?)", [(i,) for i in range(5)])
    cur.execute("DELETE FROM p9 WHERE id >= 2")
    assert cur.rowcount == 3
    assert cur.description is None


def test_executemany_runs_once_per_parameter_set(conn):
    cur = make_table(conn, "p3", "id INTEGER, name VARCHAR(20)")
    cur.execute("INSERT INTO p3 VALUES (1, 'a')")
    cur.execute("INSERT INTO p3 VALUES (2, 'b')")
    cur.executemany("SELECT id, name FROM p3 WHERE id = ?", [(1,), (2,)])
    assert cur.description is None


def test_rollback_discards_and_commit_keeps(conn, master, source):
    cur = make_table(conn, "tx1", "id INTEGER")
    cur.execute("INSERT INTO tx1 VALUES (1)")
    conn.rollback()
    cur.execute("SELECT id FROM tx1")
    assert cur.fetchall() == []
    cur.execute("INSERT INTO tx1 VALUES (2)")
    conn.commit()
    other = varnex.connect("127.0.0.1", master.port, source[0], user=source[1],
                           password=source[2])
    try:
        c2 = other.cursor()
        c2.execute("SELECT id FROM tx1")
        assert c2.fetchall() == [(2,)]
    finally:
        other.close()


def test_with_block_commits_on_success_and_rolls_back_on_error(conn):
    cur = make_table(conn, "tx2", "id INTEGER")
    with conn:
        cur.execute("INSERT INTO tx2 VALUES (1)")
    with pytest.raises(RuntimeError):
        with conn:
            cur.execute("INSERT INTO tx2 VALUES (2)")
            raise RuntimeError("stop")
    cur.execute("SELECT id FROM tx2")
    assert cur.fetchall() == [(1,)]
    assert not conn.closed


def test_autocommit_commits_each_statement(conn, master, source):
    cur = make_table(conn, "tx3", "id INTEGER")
    conn.autocommit = True
    cur.execute("INSERT INTO tx3 VALUES (7)")
    other = varnex.connect("127.0.0.1", master.port, source[0], user=source[1],
                           password=source[2])
    try:
        c2 = other.cursor()
        c2.execute("SELECT id FROM tx3")
        assert c2.fetchall() == [(7,)]
    finally:
        other.close()


def test_unknown_table_is_programming_error_with_source_text(conn):
    cur = conn.cursor()
    with pytest.raises(varnex.ProgrammingError) as e:
        cur.execute("SELECT * FROM no_such_table_here")
    assert "no_such_table_here" in str(e.value)
    conn.rollback()


def test_syntax_error_is_programming_error(conn):
    with pytest.raises(varnex.ProgrammingError):
        conn.cursor().execute("SELEC 1 FROM nowhere")
    conn.rollback()


def test_duplicate_key_is_integrity_error(conn):
    cur = make_table(conn, "e1", "id INTEGER PRIMARY KEY")
    cur.execute("INSERT INTO e1 VALUES (1)")
    with pytest.raises(varnex.IntegrityError):
        cur.execute("INSERT INTO e1 VALUES (1)")
    conn.rollback()


def test_closed_connection_and_cursor_raise_interface_error(conn):
    cur = conn.cursor()
    cur.close()
    with pytest.raises(varnex.InterfaceError):
        cur.execute("SELECT 1")
    conn.close()
    assert conn.closed
    with pytest.raises(varnex.InterfaceError):
        conn.cursor()
    with pytest.raises(varnex.InterfaceError):
        conn.commit()


def test_unknown_data_source_is_refused_at_connect(master):
    with pytest.raises(varnex.DatabaseError):
        varnex.connect("127.0.0.1", master.port, "no_such_dsn")


def test_connections_work_from_threads_side_by_side(master):
    errors, counts = [], []

    def work():
        try:
            c = varnex.connect("127.0.0.1", master.port, "pysqlite")
            cur = c.cursor()
            cur.execute("SELECT 1")
            counts.append(cur.fetchall())
            c.close()
        except Exception as e:  # handed to the main thread
            errors.append(e)

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert errors == []
    assert counts == [[(1,)]] * 4
