"""Stores for the durable broker's tests: a SQLite file in the test's own
directory, and a database on a private PostgreSQL server that this session
starts from Debian's package (initdb and pg_ctl in a temporary directory,
listening on a Unix socket only) and stops at the end. If the server cannot
start, the PostgreSQL tests fail: nothing is skipped."""

import glob
import itertools
import os
import pathlib
import pwd
import shutil
import subprocess
import sys
import tempfile

import pytest

HERE = pathlib.Path(__file__).parent
sys.path[:0] = [str(HERE), str(HERE.parent / "lib")]

PORT = 5432


def postgres_bin():
    versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                      key=lambda path: int(path.split("/")[4]))
    if not versions:
        pytest.fail("PostgreSQL is not installed (scripts/setup installs Debian's postgresql)")
    return pathlib.Path(versions[-1]).parent


def as_server_user():
    """The prefix that runs a command as the unprivileged postgres user: the
    server refuses to run as root."""
    if os.geteuid() != 0:
        return []
    return ["runuser", "-u", "postgres", "--"]


@pytest.fixture(scope="session")
def postgres_server():
    """The socket directory of a running private server."""
    bindir = postgres_bin()
    base = pathlib.Path(tempfile.mkdtemp(prefix="tallowmere-pg-"))
    if os.geteuid() == 0:
        user = pwd.getpwnam("postgres")
        os.chown(base, user.pw_uid, user.pw_gid)
    data = base / "data"
    prefix = as_server_user()
    log = base / "server.log"
    subprocess.run(prefix + [str(bindir / "initdb"), "-D", str(data), "-A", "trust",
                             "-U", "postgres", "--no-sync", "-E", "UTF8"],
                   check=True, capture_output=True)
    options = f"-k {base} -c listen_addresses='' -p {PORT} -c synchronous_commit=on"
    started = subprocess.run(prefix + [str(bindir / "pg_ctl"), "-D", str(data), "-l", str(log),
                                       "-o", options, "-w", "start"],
                             capture_output=True, text=True)
    if started.returncode != 0:
        pytest.fail(f"PostgreSQL did not start: {started.stdout}{started.stderr}"
                    f"{log.read_text() if log.exists() else ''}")
    try:
        yield base
    finally:
        subprocess.run(prefix + [str(bindir / "pg_ctl"), "-D", str(data), "-m", "immediate",
                                 "-w", "stop"], capture_output=True)
        shutil.rmtree(base, ignore_errors=True)


def server_url(socket_dir, database):
    return f"postgresql://postgres@/{database}?host={socket_dir}&port={PORT}"


_databases = itertools.count()


@pytest.fixture
def postgres_url(postgres_server):
    """A new, empty database on the private server."""
    import psycopg
    name = f"t{os.getpid()}_{next(_databases)}"
    with psycopg.connect(server_url(postgres_server, "postgres"), autocommit=True) as admin:
        admin.execute(f"CREATE DATABASE {name}")
    yield server_url(postgres_server, name)
    with psycopg.connect(server_url(postgres_server, "postgres"), autocommit=True) as admin:
        admin.execute(f"DROP DATABASE {name} WITH (FORCE)")


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
