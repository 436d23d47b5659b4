import pytest

import quenta


# The application under test: pairs the module with the first sensor nearby
# and hands the line over to data mode.
def connect_first_sensor(q: quenta.Quenta) -> quenta.Device:
    sensors = [device for device in q.search() if device.name.startswith("SENSOR-")]
    if not sensors:
        raise LookupError("no sensor nearby")
    q.pair(sensors[0])
    q.data_mode()
    return sensors[0]


# Short inquiries, and a module already configured and in command mode.
SIM = ["--scan-ms", "200", "--mode", "command", "--baud", "921600", "--rtscts"]


@pytest.fixture
def devices(tmp_path):
    path = tmp_path / "devices.txt"
    path.write_text(
        "02a0c7a1b2c3r 7978 PRINTER-1\n"
        "02a0c7a1b2c4r 7978 SENSOR-7\n"
        "02a0c7a1b2c5r 7978 SENSOR-9\n"
    )
    return str(path)


def test_pairs_with_the_first_sensor(quenta_sim_factory, devices):
    sim = quenta_sim_factory(args=SIM + ["--devices", devices])
    with quenta.Quenta(sim.link) as q:
        assert connect_first_sensor(q).address == "02a0c7a1b2c4r"
        sim.wait_for_log('AT*ADWDRP=0,02a0c7a1b2c4r,130,0,"SENSOR-7",1<CR>')
        # The next call brings the module back to command mode.
        assert q.paired().name == "SENSOR-7"


@pytest.mark.quenta_sim(args=SIM)  # the simulator's own devices: no sensor
def test_no_sensor_nearby(quenta_sim):
    with quenta.Quenta(quenta_sim.link) as q, pytest.raises(LookupError):
        connect_first_sensor(q)
