"""`python -m vestrel` runs the `vestrel` command."""

from .cli import main

main()
