"""battery-report: the discharge-test report from battery-host's history database.

reading (the database), analysis (discharges, verdicts, numbers), plots (matplotlib figures),
page (the HTML page), pdf (the same report as one PDF) and cli (the command line).
"""

PROG = "battery-report"
