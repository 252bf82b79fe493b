import sys

from kiro.cli import main

if __name__ == "__main__":
    sys.exit(main())
