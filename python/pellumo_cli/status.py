"""Exit statuses of the `pellumo` command, the same for every command that
reads records (dump, export, recover, artifacts) and for check:

    0    complete
    1    error: a file that cannot be opened, a table that is missing, an
         output that cannot be written (one line "pellumo: error: ...")
    2    usage: a bad command line, or an output the command refuses to
         write (over existing files, into a folder holding an input)
    3    damaged input: the output is complete as far as the file allows,
         but damage was met (each DamageWarning printed once on stderr)
    130  interrupted (Ctrl-C)
    141  stdout closed early (`pellumo dump ... | head`), as for a program
         that SIGPIPE ends"""

from __future__ import annotations

OK = 0
ERROR = 1
USAGE = 2
DAMAGED = 3
INTERRUPTED = 130
BROKEN_PIPE = 141

# The text --help shows under every command that reads records.
EPILOG = ("exit status: 0 complete, 1 error, 2 usage (or an output refused), 3 damaged input (output complete "
          "as far as the file allows; each warning on stderr), 130 interrupted")


def outcome(*, errors: bool = False, damaged: bool = False) -> int:
    """The status of a run that has finished: an error outweighs damage,
    since the output then lacks more than what the file lost."""
    if errors:
        return ERROR
    return DAMAGED if damaged else OK
