"""Stores for the durable broker's tests: a SQLite file in the test's own
directory, and a database on a private PostgreSQL server that this session
starts from Debian's package (initdb and pg_ctl in a temporary directory,
listening on a Unix socket only) and stops at the end. If the server cannot
start, the PostgreSQL tests fail: nothing is skipped."""

import itertools
import os
import pathlib
import sqlite3
import sys

import pytest

HERE = pathlib.Path(__file__).parent
sys.path[:0] = [str(HERE), str(HERE.parent / "lib")]
from pg_server import Server, ServerError  # noqa: E402

_databases = itertools.count()


@pytest.fixture(scope="session")
def postgres_server():
    try:
        server = Server()
    except ServerError as error:
        pytest.fail(str(error))
    yield server
    server.stop()


@pytest.fixture
def postgres_url(postgres_server):
    """A new, empty database on the private server."""
    name = f"t{os.getpid()}_{next(_databases)}"
    yield postgres_server.create_database(name)
    postgres_server.drop_database(name)


@pytest.fixture(params=["sqlite", "postgres"])
def store_url(request, tmp_path):
    """A path to a new SQLite file, or the URL of a new PostgreSQL database."""
    if request.param == "sqlite":
        return str(tmp_path / "broker.sqlite3")
    return request.getfixturevalue("postgres_url")


@pytest.fixture
def raw(store_url):
    """Opens connections for plain SQL on the store's database, behind the
    durable broker's back: connection(sql, *parameters), with ? markers."""
    connections = []

    def connect():
        if store_url.startswith("postgresql://"):
            import psycopg
            connection, marker = psycopg.connect(store_url, autocommit=True), "%s"
        else:
            connection, marker = sqlite3.connect(store_url, isolation_level=None), "?"
        connections.append(connection)

        def execute(sql, *parameters):
            cursor = connection.execute(sql.replace("?", marker), parameters)
            return cursor.fetchall() if cursor.description else cursor.rowcount
        return execute
    yield connect
    for connection in connections:
        connection.close()
