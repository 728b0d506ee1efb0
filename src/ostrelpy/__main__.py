import sys

from ostrelpy.cli import main

sys.exit(main())
