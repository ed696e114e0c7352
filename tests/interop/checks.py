"""What the interop checks share: Python's strict reading of mail, and the
"N passed, M failed" line the test command counts (with the exit status)."""
import email.policy
import sys

STRICT = email.policy.default.clone(raise_on_defect=True)


def report(problems, checked):
    """Prints each problem and the counts; fails when anything failed or nothing was checked."""
    for problem in problems:
        print("FAIL:", problem)
    print(f"{checked - len(problems)} passed, {len(problems)} failed")
    sys.exit(1 if problems or checked == 0 else 0)
