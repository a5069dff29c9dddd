import sys

from .app.cli import main

sys.exit(main())
