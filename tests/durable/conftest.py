"""Stores for the durable broker's tests: a SQLite file in the test's own
directory, and a database on a private PostgreSQL server that this session
starts from Debian's package (initdb and pg_ctl in a temporary directory,
listening on a Unix socket only) and stops at the end. If the server cannot
start, the PostgreSQL tests fail: nothing is skipped."""

import itertools
import os
import pathlib
import sys

import pytest

HERE = pathlib.Path(__file__).parent
sys.path[:0] = [str(HERE), str(HERE.parent / "lib")]
from pg_server import Server, ServerError  # noqa: E402


@pytest.fixture(scope="session")
def postgres_server():
    try:
        server = Server()
    except ServerError as error:
        pytest.fail(str(error))
    try:
        yield server
    finally:
        server.stop()


_databases = itertools.count()


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


class Raw:
    """Plain SQL on a store's database, behind the durable broker's back."""

    def __init__(self, url):
        if url.startswith("postgresql://"):
            import psycopg
            self.connection = psycopg.connect(url, autocommit=True)
            self.marker = "%s"
        else:
            import sqlite3
            self.connection = sqlite3.connect(url, isolation_level=None)
            self.marker = "?"

    def __call__(self, sql, *parameters):
        cursor = self.connection.execute(sql.replace("?", self.marker), parameters)
        return cursor.fetchall() if cursor.description else cursor.rowcount

    def close(self):
        self.connection.close()


@pytest.fixture
def raw(store_url):
    connections = []

    def connect():
        connections.append(Raw(store_url))
        return connections[-1]
    yield connect
    for connection in connections:
        connection.close()
