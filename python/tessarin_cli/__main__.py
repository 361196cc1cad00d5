import sys

from tessarin_cli import main

sys.exit(main())
