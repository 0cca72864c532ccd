"""Record access through Table, on SQLite and PostgreSQL."""

import pytest

import varnex


@pytest.fixture
def people(conn):
    cur = conn.cursor()
    try:
        cur.execute("DROP TABLE people")
    except varnex.DatabaseError:
        conn.rollback()
    cur.execute("CREATE TABLE people (r INTEGER PRIMARY KEY, name VARCHAR(10), v VARCHAR(40))")
    for row in ("(1, 'SMITH', 'one')", "(2, 'JONES', 'two')", "(3, 'BROWN', 'three')"):
        cur.execute("INSERT INTO people VALUES " + row)
    conn.commit()
    table = conn.table("people", "ppl", order="r")
    yield table
    table.close()


def test_use_counts_records_and_read_converts_values(people):
    assert people.records == 3
    assert people.count() == 3
    assert people.read(2) == (2, "JONES", "two")
    assert [f[0].lower() for f in people.fields] == ["r", "name", "v"]


def test_read_beyond_last_record_is_refused(people):
    with pytest.raises(varnex.DatabaseError):
        people.read(4)


def test_update_writes_values_and_quote_stays_data(conn, people):
    people.update(2, [2, "OBRIEN", "O'Brien"])
    assert people.read(2) == (2, "OBRIEN", "O'Brien")
    cur = conn.cursor()
    cur.execute("SELECT v FROM people WHERE r = 2")
    assert cur.fetchall() == [("O'Brien",)]


def test_insert_appends_a_record_and_delete_removes_it(conn, people):
    recno = people.insert([4, "ADAMS", "four"])
    assert recno == 4
    assert people.read(recno) == (4, "ADAMS", "four")
    people.delete(1)
    cur = conn.cursor()
    cur.execute("SELECT r FROM people ORDER BY r")
    assert cur.fetchall() == [(2,), (3,), (4,)]


def test_insert_of_taken_key_is_integrity_error(conn, people):
    with pytest.raises(varnex.IntegrityError):
        people.insert([1, "DUP", "dup"])
    assert people.count() == 3


def test_find_gives_record_number_of_first_match(people):
    assert people.find("name", "JONES", exact=True) == 2
    assert people.find("name", "BRO") == 3


def test_lock_and_unlock_a_record(people):
    people.lock(1)
    assert people.islocked(1) == 0  # held by this session
    people.unlock()


def test_closed_table_refuses_requests(people):
    people.close()
    with pytest.raises(varnex.InterfaceError):
        people.count()
