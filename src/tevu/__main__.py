"""`python -m tevu`: the same as the `tevu` command."""

from ._cli import main

main()
