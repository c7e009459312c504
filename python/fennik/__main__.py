"""python -m fennik run -o trace.pb app.py ARGS..."""

import sys

from fennik._command import main

sys.argv[0] = "python -m fennik"  # the name usage and help show, as for argparse
main()
