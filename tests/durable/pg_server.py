"""A private PostgreSQL server from Debian's package, in a directory of its
own, listening on a Unix socket only (no TCP). The server refuses to run as
root, so as root it runs as the unprivileged postgres user."""

import glob
import os
import pathlib
import pwd
import shutil
import subprocess
import tempfile

PORT = 5432


class ServerError(RuntimeError):
    pass


def server_environment():
    """The environment without what a sanitized test run preloads: the
    server's own programs are not built for it."""
    return {name: value for name, value in os.environ.items()
            if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def bindir():
    versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                      key=lambda path: int(path.split("/")[4]))
    if not versions:
        raise ServerError("PostgreSQL is not installed (scripts/setup installs Debian's "
                          "postgresql)")
    return pathlib.Path(versions[-1]).parent


class Server:
    def __init__(self):
        self.bin = bindir()
        self.base = pathlib.Path(tempfile.mkdtemp(prefix="tallowmere-pg-"))
        self.prefix = []
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            os.chown(self.base, user.pw_uid, user.pw_gid)
            self.prefix = ["runuser", "-u", "postgres", "--"]
        self.data = self.base / "data"
        log = self.base / "server.log"
        try:
            subprocess.run(self.prefix + [str(self.bin / "initdb"), "-D", str(self.data), "-A",
                                          "trust", "-U", "postgres", "--no-sync", "-E", "UTF8"],
                           check=True, capture_output=True, env=server_environment())
            options = f"-k {self.base} -c listen_addresses='' -p {PORT} -c synchronous_commit=on"
            started = subprocess.run(self.prefix + [str(self.bin / "pg_ctl"), "-D",
                                                    str(self.data), "-l", str(log), "-o",
                                                    options, "-w", "start"],
                                     capture_output=True, text=True, env=server_environment())
        except (OSError, subprocess.CalledProcessError) as error:
            self.remove()
            raise ServerError(f"initdb failed: {error}") from None
        if started.returncode != 0:
            detail = started.stdout + started.stderr + (log.read_text() if log.exists() else "")
            self.remove()
            raise ServerError(f"PostgreSQL did not start: {detail}")

    def url(self, database="postgres"):
        return f"postgresql://postgres@/{database}?host={self.base}&port={PORT}"

    def create_database(self, name):
        import psycopg
        with psycopg.connect(self.url(), autocommit=True) as admin:
            admin.execute(f"CREATE DATABASE {name}")
        return self.url(name)

    def drop_database(self, name):
        import psycopg
        with psycopg.connect(self.url(), autocommit=True) as admin:
            admin.execute(f"DROP DATABASE {name} WITH (FORCE)")

    def stop(self):
        subprocess.run(self.prefix + [str(self.bin / "pg_ctl"), "-D", str(self.data), "-m",
                                      "immediate", "-w", "stop"], capture_output=True,
                       env=server_environment())
        self.remove()

    def remove(self):
        shutil.rmtree(self.base, ignore_errors=True)
