"""One module per subcommand of the ``corvane`` command (see cli.py)."""
