"""A list of named checks that prints each result and a closing count, for
the test scripts that check one thing many ways."""


class Checklist:
    def __init__(self, group):
        self.group = group
        self.passed, self.failed = [], []

    def expect(self, what, ok, detail=""):
        print(("ok   " if ok else "FAIL ") + what + (f"\n     {detail}" if detail and not ok else ""))
        (self.passed if ok else self.failed).append(what)

    def finish(self):
        """Prints the count; the exit status for the script."""
        print(f"{self.group}: {len(self.passed)} passed, {len(self.failed)} failed")
        return 1 if self.failed else 0
