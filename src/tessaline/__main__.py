"""``python -m tessaline``: the ``tessaline-evaluate`` main job."""

import sys

from tessaline.cli import main

if __name__ == "__main__":
    sys.exit(main())
