import os

# Qt must never look for a display: the tests render into offscreen images.
os.environ.setdefault("QT_QPA_PLATFORM", "offscreen")
