import sys

from ontarix_cli import main

sys.exit(main())
