import threading

import quenta

# Two modules, each already configured and in command mode, with a sensor of
# its own nearby.
SIM = ["--scan-ms", "300", "--mode", "command", "--baud", "921600", "--rtscts"]


def test_two_modules_at_once(quenta_sim_factory, tmp_path):
    sims = []
    for n in (1, 2):
        devices = tmp_path / f"devices-{n}.txt"
        devices.write_text(f"02a0c7a1b2e{n}r 7978 SENSOR-{n}\n")
        sims.append(quenta_sim_factory(args=SIM + ["--devices", str(devices)], com8=False))

    found = {}

    def pair_with_what_is_nearby(sim):
        with quenta.Quenta(sim.device) as q:  # one object per port
            devices = q.search()
            q.pair(devices[0])
            found[sim.device] = q.paired()

    threads = [threading.Thread(target=pair_with_what_is_nearby, args=(s,)) for s in sims]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert [found[s.device].name for s in sims] == ["SENSOR-1", "SENSOR-2"]
