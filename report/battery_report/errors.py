"""The one kind of failure the report tells its user about: one line, and the exit status."""


class ReportError(Exception):
    def __init__(self, message, status=2):
        super().__init__(message)
        self.status = status
