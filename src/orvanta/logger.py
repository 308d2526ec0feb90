"""The package's logger: silent unless the application configures logging."""

import logging

logger = logging.getLogger("orvanta")
logger.addHandler(logging.NullHandler())
