import sys

from vez_api.doroze_cli import run

sys.exit(run(prog="python -m vez_api"))
