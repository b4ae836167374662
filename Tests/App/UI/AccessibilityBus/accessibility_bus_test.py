#!/usr/bin/env python3
"""Reads the main window as a screen reader does: the accessible tree and the
events that reach AT-SPI. Needs a session bus and a display, for example:
  xvfb-run -a dbus-run-session -- python3 accessibility_bus_test.py FIXTURE
FIXTURE is the vlm-accessibility-fixture program."""

import os
import select
import subprocess
import sys
import time
import unittest

import pyatspi
from gi.repository import GLib

FIXTURE = None
# How long a condition may take before the test fails; not a pause.
DEADLINE_SECONDS = 30


class Window:
    """The fixture process and every event of interest it sends."""

    def __init__(self):
        self.events = []
        self._listener = lambda event: self.events.append(
            (event.type, event.detail1, self._describe(event.source)))
        # Listen before the program starts: its bridge sends only what is
        # listened for, as it learns at start.
        pyatspi.Registry.registerEventListener(
            self._listener, "object:state-changed:showing",
            "object:property-change:accessible-value")
        env = dict(os.environ, QT_QPA_PLATFORM="xcb")
        self.process = subprocess.Popen([FIXTURE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        env=env, text=True, bufsize=1)
        self._expect_line("ready")
        self.app = self.wait_for(self._find_app, "the program on the accessibility bus")

    def close(self):
        pyatspi.Registry.deregisterEventListener(
            self._listener, "object:state-changed:showing",
            "object:property-change:accessible-value")
        self.process.stdin.write("quit\n")
        self.process.stdin.close()
        self.process.wait(timeout=DEADLINE_SECONDS)

    @staticmethod
    def _describe(obj):
        try:
            return (obj.getRole(), obj.name)
        except Exception:
            return (None, None)

    @staticmethod
    def _find_app():
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name == "vlm-accessibility-fixture":
                return app
        return None

    def _pump(self):
        context = GLib.MainContext.default()
        while context.pending():
            context.iteration(False)

    def _expect_line(self, expected):
        deadline = time.monotonic() + DEADLINE_SECONDS
        while time.monotonic() < deadline:
            self._pump()
            readable, _, _ = select.select([self.process.stdout], [], [], 0.02)
            if readable:
                line = self.process.stdout.readline().strip()
                if line != expected:
                    raise AssertionError("fixture said %r, not %r" % (line, expected))
                return
        raise AssertionError("fixture did not answer %r" % expected)

    def send(self, command):
        self.process.stdin.write(command + "\n")
        self._expect_line("ok")

    def wait_for(self, condition, what):
        deadline = time.monotonic() + DEADLINE_SECONDS
        while time.monotonic() < deadline:
            self._pump()
            result = condition()
            if result:
                return result
            select.select([], [], [], 0.02)
        raise AssertionError("waited in vain for " + what)

    def find(self, role, name=None):
        return pyatspi.findDescendant(
            self.app, lambda o: o.getRole() == role and (name is None or o.name == name))

    def announcements(self):
        return [name for (kind, detail, (role, name)) in self.events
                if kind == "object:state-changed:showing" and detail == 1
                and role == pyatspi.ROLE_NOTIFICATION]


class AccessibilityBusTest(unittest.TestCase):

    def setUp(self):
        self.window = Window()

    def tearDown(self):
        self.window.close()

    def test_failures_are_spoken_as_notifications_and_starting_or_ready_are_not(self):
        w = self.window
        # A screen reader reads the name when the event arrives: each
        # announcement is awaited before the next status.
        for command, spoken in (("status driverMissing", True), ("status driverMissing", True),
                                ("status starting", False), ("status ready", False),
                                ("status failed The microphone is gone.", True),
                                ("status microphonePermissionDenied", True)):
            count = len(w.announcements())
            w.send(command)
            if spoken:
                w.wait_for(lambda: len(w.announcements()) > count, command)
        self.assertEqual(w.announcements(), ["Audio device not installed", "Audio device not installed",
                                             "The microphone is gone.", "Microphone access is off"])
        button = w.find(pyatspi.ROLE_PUSH_BUTTON, "Open Microphone Settings")
        self.assertEqual(button.description, "Microphone access is off")

    def test_meters_are_read_on_demand_and_send_no_value_events(self):
        w = self.window
        for i in range(1, 41):
            w.send("level microphone %.3f" % (i / 40.0 * 0.9))
            w.send("level velmora %.3f" % (i / 80.0))
        # Events from one program arrive in order: once this one is here, any
        # value event of the meters would have arrived before it.
        w.send("status failed marker")
        w.wait_for(lambda: "marker" in w.announcements(), "the marker")
        meter_events = [e for e in w.events if e[0] == "object:property-change:accessible-value"
                        and e[2][0] == pyatspi.ROLE_PROGRESS_BAR]
        self.assertEqual(meter_events, [])
        meter = w.find(pyatspi.ROLE_PROGRESS_BAR, "Microphone level")
        self.assertEqual(meter.queryValue().currentValue, 90)
        self.assertEqual(meter.description, "Your beautiful voice.")
        self.assertEqual(w.find(pyatspi.ROLE_PROGRESS_BAR, "Velmora Studio level").queryValue().currentValue, 50)

    def test_microphone_pop_up_is_labelled_by_microphone(self):
        popup = self.window.find(pyatspi.ROLE_COMBO_BOX)
        self.assertEqual(popup.name, "System Default — Built-in Microphone")
        labels = [r.getTarget(i) for r in popup.getRelationSet()
                  if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                  for i in range(r.getNTargets())]
        self.assertEqual([label.name for label in labels], ["Microphone"])
        self.assertEqual(popup.description, "Your beautiful voice.")
        # A screen reader takes a closed pop-up's value from its text.
        text = popup.queryText()
        self.assertEqual(text.getText(0, text.characterCount), "System Default — Built-in Microphone")

    def test_sliders_speak_percent_and_take_a_percent(self):
        w = self.window
        w.send("status ready")
        w.send("manual")
        slider = w.wait_for(lambda: w.find(pyatspi.ROLE_SLIDER, "Microphone gain"), "the slider")
        value = slider.queryValue()
        self.assertEqual((value.minimumValue, value.currentValue, value.maximumValue), (0, 80, 100))
        self.assertEqual(slider.description, "Your beautiful voice.")
        value.currentValue = 55
        w.send("ping")
        label = w.wait_for(lambda: w.find(pyatspi.ROLE_LABEL, "55%"), "the gain label to follow")
        self.assertIsNotNone(label)
        self.assertEqual(slider.queryValue().currentValue, 55)
        velmora = w.find(pyatspi.ROLE_SLIDER, "Velmora Studio gain")
        self.assertTrue(velmora.description.startswith("Includes Velmora Studio Atmospheres"))


if __name__ == "__main__":
    FIXTURE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
