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
# Without what a sanitized test run preloads: the server's own programs are
# not built for it.
ENVIRONMENT = {name: value for name, value in os.environ.items()
               if name not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


class ServerError(RuntimeError):
    pass


class Server:
    def __init__(self):
        versions = sorted(glob.glob("/usr/lib/postgresql/*/bin/pg_ctl"),
                          key=lambda path: int(path.split("/")[4]))
        if not versions:
            raise ServerError("PostgreSQL is not installed (scripts/setup installs Debian's "
                              "postgresql)")
        self.bin = pathlib.Path(versions[-1]).parent
        self.base = pathlib.Path(tempfile.mkdtemp(prefix="tallowmere-pg-"))
        self.data, log, self.prefix = self.base / "data", self.base / "server.log", []
        if os.geteuid() == 0:
            user = pwd.getpwnam("postgres")
            os.chown(self.base, user.pw_uid, user.pw_gid)
            self.prefix = ["runuser", "-u", "postgres", "--"]
        options = f"-k {self.base} -c listen_addresses='' -p {PORT} -c synchronous_commit=on"
        for step in (["initdb", "-D", self.data, "-A", "trust", "-U", "postgres", "--no-sync",
                      "-E", "UTF8"], ["pg_ctl", "-D", self.data, "-l", log, "-o", options, "-w",
                                      "start"]):
            try:
                done = self.run(*step)
            except OSError as error:
                done = subprocess.CompletedProcess(step, 1, "", str(error))
            if done.returncode != 0:
                shutil.rmtree(self.base, ignore_errors=True)
                raise ServerError(f"{step[0]} failed: {done.stdout}{done.stderr}"
                                  f"{log.read_text() if log.exists() else ''}")

    def run(self, program, *args):
        return subprocess.run(self.prefix + [str(self.bin / program), *map(str, args)],
                              capture_output=True, text=True, env=ENVIRONMENT)

    def url(self, database="postgres"):
        return f"postgresql://postgres@/{database}?host={self.base}&port={PORT}"

    def admin(self, sql):
        import psycopg
        with psycopg.connect(self.url(), autocommit=True) as connection:
            connection.execute(sql)

    def create_database(self, name):
        self.admin(f"CREATE DATABASE {name}")
        return self.url(name)

    def drop_database(self, name):
        self.admin(f"DROP DATABASE {name} WITH (FORCE)")

    def stop(self):
        self.run("pg_ctl", "-D", self.data, "-m", "immediate", "-w", "stop")
        shutil.rmtree(self.base, ignore_errors=True)
