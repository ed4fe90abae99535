"""Reads a program's accessibility tree over the AT-SPI bus, as a screen reader does. Runs with
the session bus of the program (DBUS_SESSION_BUS_ADDRESS); prints JSON.

    atspitree.py tree APP            the tree of the application named APP
    atspitree.py focus APP           the focused object: {"role", "name"}
    atspitree.py events APP SECONDS  the name and description changes APP announced meanwhile
    atspitree.py ready               starts the AT-SPI bus (D-Bus activation) and returns
"""
import json
import sys
import time

import pyatspi
from gi.repository import GLib


def application(name, timeout=30):
    deadline = time.time() + timeout
    while time.time() < deadline:
        desktop = pyatspi.Registry.getDesktop(0)
        for i in range(desktop.childCount):
            app = desktop.getChildAtIndex(i)
            if app is not None and app.name == name and app.childCount > 0:
                return app
        time.sleep(0.2)
    sys.exit("no application %s on the AT-SPI bus" % name)


def text_of(node):
    try:
        text = node.queryText()
    except NotImplementedError:
        return None
    return text.getText(0, text.characterCount)


def describe(node):
    states = node.getState()
    entry = {"role": node.getRoleName(), "name": node.name, "description": node.description,
             "text": text_of(node),
             "states": sorted(pyatspi.stateToString(s) for s in states.getStates()
                              if s in (pyatspi.STATE_FOCUSABLE, pyatspi.STATE_FOCUSED, pyatspi.STATE_CHECKED,
                                       pyatspi.STATE_SHOWING, pyatspi.STATE_ENABLED))}
    children = [describe(node.getChildAtIndex(i)) for i in range(node.childCount)]
    if children:
        entry["children"] = children
    return entry


def focused(node):
    if node.getState().contains(pyatspi.STATE_FOCUSED):
        return {"role": node.getRoleName(), "name": node.name}
    for i in range(node.childCount):
        found = focused(node.getChildAtIndex(i))
        if found:
            return found
    return None


def events(name, seconds):
    app = application(name)
    seen = []

    def record(event):
        try:
            if event.source.getApplication().name == app.name:
                seen.append({"type": event.type, "role": event.source.getRoleName(), "name": event.source.name})
        except Exception:  # the source may be gone meanwhile
            pass

    kinds = ["object:property-change:accessible-name", "object:property-change:accessible-description"]
    pyatspi.Registry.registerEventListener(record, *kinds)
    GLib.timeout_add(int(seconds * 1000), pyatspi.Registry.stop)
    pyatspi.Registry.start()
    return seen


def main():
    command, name = sys.argv[1], sys.argv[2:3]
    name = name[0] if name else None
    if command == "ready":
        result = pyatspi.Registry.getDesktop(0).name
    elif command == "tree":
        result = [describe(window) for window in application(name)]
    elif command == "focus":
        result = focused(application(name))
    else:
        result = events(name, float(sys.argv[3]))
    print(json.dumps(result, ensure_ascii=False, indent=1))


if __name__ == "__main__":
    main()
