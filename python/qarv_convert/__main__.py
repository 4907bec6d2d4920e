"""`python -m qarv_convert`: the same command line as `qarv-convert`."""
import sys

from qarv_convert import main

sys.exit(main())
