"""How the soak judges an operation: its result against the module's state,
a failure against the moment of a loss, and what the fixed contract of the C
functions allows."""
import collections
import statistics

LOSS_BOUND_S = 0.5
PAIRABLE_CLASS = 7978
UNKNOWN_NAME = "QUENTA-NOBODY"
# Cases the C functions' contract allows, counted apart from violations.
NAME_LEFT_OUT = "a device whose name could not be read is left out"
NO_PEER = "a refused read-back is no peer"
PORT_CLOSED = "the hand-over reports that the port was closed"
# The module answers the read-back with ERROR when it holds no peer, so an
# injected ERROR there is the module's own word, which no program can doubt.
MODULE_SAID_NO_PEER = "an ERROR to the read-back, the module's word for no peer"


class Record:
    def __init__(self, index, actor, words, fault, started, outcome, vanishes):
        self.index = index
        self.actor = actor
        self.words = words
        self.fault = fault
        self.started = started
        self.outcome = outcome
        self.vanishes = vanishes

    @property
    def operation(self):
        return self.words[0]

    def line(self):
        result = "HUNG" if self.outcome is None else ("ok" if self.outcome["ok"] else "failed")
        if self.outcome is not None:
            result += f" {self.outcome['end'] - self.started:.2f} s"
            if "exit" in self.outcome:
                result += f" exit {self.outcome['exit']}"
        return f"#{self.index} {self.actor} {' '.join(self.words)} [{self.fault.text or '-'}]: {result}"


class Tally:
    def __init__(self):
        self.results = collections.Counter()
        self.disturbances = collections.Counter()
        self.contract = collections.Counter()
        self.module_said = collections.Counter()
        self.latencies = []
        self.longest = {}
        self.violations = []
        self.previous_healthy = True

    def violation(self, record, text):
        self.violations.append(text if record is None else f"{record.line()}: {text}")

    def summary(self):
        lines = []
        for actor in ("tool", "client"):
            name = "tool" if actor == "tool" else "C application"
            done = {op: (self.results[(actor, op, True)], self.results[(actor, op, False)])
                    for (a, op, _) in self.results if a == actor}
            parts = ", ".join(f"{op} {ok}/{ok + failed}" for op, (ok, failed) in sorted(done.items()))
            lines.append(f"{name}: {parts or 'nothing'} (succeeded/run)")
        lines.append("disturbances: " + ", ".join(
            f"{kind} {count}" for kind, count in sorted(self.disturbances.items())))
        if self.latencies:
            lines.append(f"failures after a loss: {len(self.latencies)}, latency median "
                         f"{statistics.median(self.latencies) * 1000:.1f} ms, "
                         f"max {max(self.latencies) * 1000:.1f} ms (bound "
                         f"{LOSS_BOUND_S * 1000:.0f} ms)")
        lines.append("longest: " + ", ".join(
            f"{op} {seconds:.1f} s" for op, seconds in sorted(self.longest.items())))
        lines.append("allowed by the C functions' contract: " + (", ".join(
            f"{text}: {count}" for text, count in sorted(self.contract.items())) or "none"))
        lines.append("believed, as the module said it: " + (", ".join(
            f"{text}: {count}" for text, count in sorted(self.module_said.items())) or "none"))
        lines.append(f"violations: {len(self.violations)}")
        lines.extend("  " + text for text in self.violations)
        return lines


def judge(record, state, tally):
    healthy = record.fault.healthy and tally.previous_healthy
    tally.previous_healthy = record.fault.healthy
    tally.disturbances[record.fault.kind] += 1
    outcome = record.outcome
    if outcome is None:
        tally.violation(record, "did not end within its bound")
        return
    tally.results[(record.actor, record.operation, outcome["ok"])] += 1
    seconds = outcome["end"] - record.started
    tally.longest[record.operation] = max(tally.longest.get(record.operation, 0.0), seconds)
    if not outcome["ok"]:
        judge_failure(record, healthy, tally)
        return
    check = CHECKS.get((record.actor, record.operation))
    if check is not None:
        check(record, state, tally, healthy)


def judge_failure(record, healthy, tally):
    outcome = record.outcome
    lost = [t for t in record.vanishes if t <= outcome["end"]]
    if record.fault.missing_device or lost:
        since = record.started if record.fault.missing_device else max(lost[0], record.started)
        latency = outcome["end"] - since
        tally.latencies.append(latency)
        if latency > LOSS_BOUND_S:
            tally.violation(record, f"failed {latency * 1000:.0f} ms after the loss")
    elif healthy and record.words != ["pair", UNKNOWN_NAME]:
        detail = outcome.get("stderr", "").strip()
        tally.violation(record, "failed against a healthy module" + (f": {detail}" if detail else ""))


def peer_name(state):
    return state["paired"]["name"] if state.get("paired") else None


def pairable(state):
    return {d["name"] for d in state["devices"] if d["class"] == PAIRABLE_CLASS}


def name_of(entry):
    return entry["name"] if isinstance(entry, dict) else entry


def unread_count(output):
    """The tool's count of devices whose names were not read, if it gives one."""
    counts = [v for k, v in output.items() if "unread" in k and isinstance(v, int)]
    return counts[0] if counts else 0


def check_listed(record, state, names, tally):
    """Every listed device exists; returns the pairable ones left out."""
    known = {d["name"] for d in state["devices"]}
    for name in names:
        if name not in known:
            tally.violation(record, f"listed {name!r}, which the module does not know")
    return pairable(state) - set(names)


def tool_search(record, state, tally, healthy):
    output = record.outcome["json"]
    missing = check_listed(record, state, [name_of(e) for e in output.get("devices", [])], tally)
    if missing and unread_count(output) != len(missing):
        tally.violation(record, f"exit 0 without {sorted(missing)} and without saying that "
                                f"{len(missing)} name(s) were not read")


def client_search(record, state, tally, healthy):
    names = [n.decode("latin-1") for n in record.outcome["text"].split(b"\t") if n]
    if check_listed(record, state, names, tally):
        allowed(record, healthy, NAME_LEFT_OUT, tally)


def allowed(record, healthy, case, tally):
    """A case the contract allows, unless the module was healthy."""
    if healthy:
        tally.violation(record, f"{case}, against a healthy module")
    else:
        tally.contract[case] += 1


def check_pair(record, state, tally, healthy):
    name = record.words[1]
    if name == UNKNOWN_NAME or peer_name(state) != name:
        tally.violation(record, f"reported paired with {name!r}; the module holds "
                                f"{peer_name(state)!r}")


def tool_paired(record, state, tally, healthy):
    shown = record.outcome["json"].get("paired")
    # No paired device: null, or an empty name.
    shown = name_of(shown) or None if shown is not None else None
    if shown == peer_name(state):
        return
    if shown is None and "ADRDRP=error" in (record.fault.text or ""):
        tally.module_said[MODULE_SAID_NO_PEER] += 1
    else:
        tally.violation(record, f"showed {shown!r}; the module holds {peer_name(state)!r}")


def client_paired(record, state, tally, healthy):
    shown = record.outcome["text"].decode("latin-1")
    if shown == (peer_name(state) or ""):
        return
    if shown == "":
        allowed(record, healthy, NO_PEER, tally)
    else:
        tally.violation(record, f"read {shown!r}; the module holds {peer_name(state)!r}")


def in_data_mode(state):
    # A restart cut short by a loss is completed when the module returns.
    return state["mode"] == "data" or state["restarting"]


def tool_data_mode(record, state, tally, healthy):
    if not in_data_mode(state):
        tally.violation(record, f"reported data mode; the module is in {state['mode']} mode")


def client_data_mode(record, state, tally, healthy):
    if not in_data_mode(state):
        tally.contract[PORT_CLOSED] += 1


CHECKS = {
    ("tool", "search"): tool_search,
    ("client", "search"): client_search,
    ("tool", "pair"): check_pair,
    ("client", "pair"): check_pair,
    ("tool", "paired"): tool_paired,
    ("client", "paired"): client_paired,
    ("tool", "data-mode"): tool_data_mode,
    ("client", "data-mode"): client_data_mode,
}
