"""The choices of `batch` options, apart so that building the command line's parser imports nothing more."""

#: How the results print (`--format`).
FORMATS = ("table", "markdown", "csv", "json")
#: Where the jobs run (`--engine`).
ENGINES = ("local", "ray")
