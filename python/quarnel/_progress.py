"""Progress line on stderr for the command line: shown only on a terminal, after a delay."""

import os
import sys
import threading
import time

# Work shorter than this stays silent; tests lower it through the environment.
DELAY = float(os.environ.get("QUARNEL_PROGRESS_DELAY", "1.0"))
TICK = 0.25


class Progress:
    """A status line redrawn by a background thread, so it keeps ticking while a native call
    holds the main thread. Notes (skipped files, read errors) go through `note` so they never
    land in the middle of the status line."""

    def __init__(self, enabled, quiet=False, stream=None):
        self.stream = stream or sys.stderr
        self.enabled = enabled
        self.quiet = quiet  # notes that are not errors are left out
        self.started = time.monotonic()
        self.message = ""
        self.drawn = False
        self.lock = threading.Lock()
        self.stopped = threading.Event()
        if enabled:
            threading.Thread(target=self._tick, daemon=True, name="quarnel-progress").start()

    def set(self, message):
        self.message = message
        if self.enabled and time.monotonic() - self.started >= DELAY:
            self._draw()

    def note(self, line, error=False):
        if self.quiet and not error:
            return
        with self.lock:
            self._clear()
            self._write(line + "\n")

    def close(self):
        self.stopped.set()
        with self.lock:
            self._clear()
            self.enabled = False

    def _tick(self):
        while not self.stopped.wait(TICK):
            if time.monotonic() - self.started >= DELAY:
                self._draw()

    def _draw(self):
        elapsed = time.monotonic() - self.started
        with self.lock:
            if self.enabled and self.message:
                self._write(f"\r\x1b[Kquarnel: {self.message} ({elapsed:.0f} s)")
                self.drawn = True

    def _clear(self):
        if self.drawn:
            self._write("\r\x1b[K")
            self.drawn = False

    def _write(self, text):
        try:
            self.stream.write(text)
            self.stream.flush()
        except (OSError, ValueError):  # a closed terminal must not end the run
            pass
