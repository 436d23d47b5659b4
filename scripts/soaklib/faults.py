"""What the soak does to the module around each operation: the operation
itself, and one disturbance (or none) drawn from a seeded generator."""
import threading

KINDS = ("error", "silent", "drop", "garbage", "split", "delay", "vanish")
PAIRABLE_CLASS = 7978
UNKNOWN_NAME = "QUENTA-NOBODY"
# The command words each operation may send besides the ping (AT) and the
# one-time configuration (AMRS among others).
WORDS = {
    "search": ("AGI", "AGND"),
    "pair": ("AGI", "AGND", "ADWDRP"),
    "unpair": ("ADNRP",),
    "paired": ("ADRDRP",),
    "data-mode": ("ADNRP", "AMWS"),
    "handle": ("ADNRP", "ADDM"),
}
REPEATED = ("AT", "*", "AGND")
OPERATIONS = {
    "tool": (("search", 5), ("pair", 4), ("unpair", 1), ("paired", 5), ("data-mode", 3)),
    "client": (("search", 5), ("pair", 4), ("unpair", 1), ("paired", 5), ("data-mode", 3),
               ("handle", 2)),
}
# How often each disturbance is drawn; "none" leaves the module healthy.
DISTURBANCES = (("none", 7), ("answer", 8), ("name", 2), ("vanish-on", 2), ("vanish-at", 2),
                ("missing", 1), ("mode", 2), ("line", 2), ("devices", 1))


def weighted(rng, table):
    return rng.choices([item for item, _ in table], [weight for _, weight in table])[0]


class Fault:
    """One disturbance: statements before the operation, perhaps a timed
    vanish during it, statements after it."""

    def __init__(self, kind, text="", statements=(), restore=(), vanish_after=None):
        self.kind = kind
        self.text = text
        self.statements = list(statements)
        self.restore = list(restore)
        self.vanish_after = vanish_after
        self.done = threading.Event()

    @property
    def healthy(self):
        return self.kind == "none"

    @property
    def missing_device(self):
        return self.kind == "missing"

    def arm(self, control):
        for statement in self.statements:
            control.send(statement)

    def start_timer(self, control):
        """A thread that vanishes the module unless the operation ends first."""
        if self.vanish_after is None:
            return None

        def vanish():
            if not self.done.wait(self.vanish_after):
                control.send("vanish")

        thread = threading.Thread(target=vanish)
        thread.start()
        return thread

    def finish(self):
        self.done.set()

    def disarm(self, control):
        for statement in self.restore:
            control.send(statement)


class FaultPlanner:
    def __init__(self, rng, state):
        self.rng = rng
        self.devices = state["devices"]
        self.names = [d["name"] for d in self.devices if d["class"] == PAIRABLE_CLASS]

    def operation(self, actor):
        name = weighted(self.rng, OPERATIONS[actor])
        if name == "pair":
            device = UNKNOWN_NAME if self.rng.random() < 0.1 else self.rng.choice(self.names)
            return ["pair", device]
        return [name]

    def none(self):
        return Fault("none")

    def fault(self, words):
        kind = weighted(self.rng, DISTURBANCES)
        return getattr(self, "_" + kind.replace("-", "_"))(words)

    def _none(self, words):
        return self.none()

    def _target(self, words):
        # Half of the time a word only this operation sends.
        if self.rng.random() < 0.5:
            return self.rng.choice(WORDS[words[0]])
        return self.rng.choice(("AT", "*"))

    def _answer(self, words):
        kind = self.rng.choice(KINDS)
        if kind == "delay":
            kind = f"delay:{self.rng.randrange(100, 1600, 100)}"
        elif kind in ("garbage", "split") and self.rng.random() < 0.5:
            # Bytes of garbage, or pieces of an answer (at least two).
            kind += f":{self.rng.randint(1 if kind == 'garbage' else 2, 8)}"
        target = self._target(words)
        # Only a ping, any line or a name query comes more than once a call.
        start = self.rng.randint(1, 3) if target in REPEATED else 1
        text = f"fault {target}={kind}@{start}*1"
        return Fault("answer", text, [text])

    def _name(self, words):
        device = self.rng.choice([d for d in self.devices if d["class"] == PAIRABLE_CLASS])
        # Once, which the library's second query gets over, or every time.
        times = self.rng.choice(("*1", ""))
        text = f"fault name:{device['address']}={self.rng.choice(('error', 'silent'))}{times}"
        return Fault("name", text, [text])

    def _vanish_on(self, words):
        target = self._target(words)
        occurrence = self.rng.randint(1, 4) if target in REPEATED else 1
        text = f"on {target}#{occurrence}: vanish"
        return Fault("vanish-on", text, [text])

    def _vanish_at(self, words):
        delay = self.rng.uniform(0.05, 3.0)
        return Fault("vanish-at", f"vanish after {delay:.2f} s", vanish_after=delay)

    def _missing(self, words):
        return Fault("missing", "vanish before", ["vanish"])

    def _mode(self, words):
        text = f"mode {self.rng.choice(('data', 'command'))}"
        return Fault("mode", text, [text])

    def _line(self, words):
        statements = [f"set baud {self.rng.choice((115200, 921600))}",
                      f"set rtscts {self.rng.choice(('on', 'off'))}"]
        return Fault("line", "; ".join(statements), statements)

    def _devices(self, words):
        restore = [f"device add {d['address']} {d['class']} {d['name']}" for d in self.devices]
        return Fault("devices", "devices clear", ["devices clear"], restore)
