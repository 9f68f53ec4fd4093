"""`python -m tallowmere`: the `tallowmere` command."""

from .cli import main

raise SystemExit(main())
