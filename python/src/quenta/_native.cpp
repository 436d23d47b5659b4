// quenta._native: the core's session API for Python. Thin on purpose: it
// hands results over as they are (cause and operation by their stable names,
// names as bytes), and the package's Python layer turns them into devices and
// exceptions. Every blocking call runs without the GIL, so sessions on two
// ports work at the same time from two threads.
#include "QUENTA_Session.h"

#include <pybind11/functional.h>
#include <pybind11/pybind11.h>

#include <chrono>
#include <optional>
#include <stdexcept>

namespace py = pybind11;
using QUENTA::DeviceS;
using QUENTA::PairedResultS;
using QUENTA::ResultS;
using QUENTA::SearchResultS;
using QUENTA::SessionC;

namespace {

// Paths and system texts need not be UTF-8; surrogateescape keeps every byte.
py::str text(const std::string& strText)
{
    PyObject* pText = PyUnicode_DecodeUTF8(strText.data(), static_cast<Py_ssize_t>(strText.size()),
                                           "surrogateescape");
    if (pText == nullptr) {
        throw py::error_already_set();
    }
    return py::reinterpret_steal<py::str>(pText);
}

py::tuple deviceTuple(const DeviceS& device)
{
    return py::make_tuple(py::bytes(device.m_strName), text(device.m_strAddress), device.m_unClass);
}

// The search callback runs on the searching thread without the GIL; a Python
// exception in it is kept and raised once the search is over, as the core
// cannot be unwound through.
class FoundRelayC
{
public:
    explicit FoundRelayC(py::object found) : m_found(std::move(found)) {}

    SessionC::DeviceFoundT callback()
    {
        if (m_found.is_none()) {
            return SessionC::DeviceFoundT();
        }
        return [this](const DeviceS& device) { relay(device); };
    }

    void raiseKept()
    {
        if (m_error) {
            throw *m_error;
        }
    }

private:
    void relay(const DeviceS& device)
    {
        py::gil_scoped_acquire gil;
        if (m_error) {
            return;
        }
        try {
            m_found(deviceTuple(device));
        } catch (py::error_already_set& error) {
            m_error = std::move(error);
        }
    }

    py::object m_found;
    std::optional<py::error_already_set> m_error;
};

py::tuple search(SessionC& session, py::object found)
{
    FoundRelayC relay(std::move(found));
    SearchResultS result;
    {
        py::gil_scoped_release nogil;
        result = session.search(relay.callback());
    }
    relay.raiseKept();
    py::list devices;
    for (const DeviceS& device : result.m_vecDevices) {
        devices.append(deviceTuple(device));
    }
    return py::make_tuple(static_cast<const ResultS&>(result), devices, result.m_unUnreadNames);
}

py::tuple paired(SessionC& session)
{
    PairedResultS result;
    {
        py::gil_scoped_release nogil;
        result = session.paired();
    }
    py::object device = result.m_bPaired ? py::object(deviceTuple(result.m_device)) : py::none();
    return py::make_tuple(static_cast<const ResultS&>(result), device);
}

// The same read-back run count times from C++, for the benchmark that holds a
// Python call against it on one session.
double timePaired(SessionC& session, unsigned int unCount)
{
    py::gil_scoped_release nogil;
    const auto start = std::chrono::steady_clock::now();
    for (unsigned int unRun = 0; unRun < unCount; ++unRun) {
        if (!session.paired().ok()) {
            throw std::runtime_error("the read-back failed during the timed runs");
        }
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

PYBIND11_MODULE(_native, module)
{
    module.doc() = "The core's session API (one port per session, a cause for every failure).";

    py::class_<ResultS>(module, "Result")
        .def_property_readonly("ok", &ResultS::ok)
        .def_property_readonly("cause",
                               [](const ResultS& r) { return QUENTA::causeName(r.m_eCause); })
        .def_property_readonly(
            "operation", [](const ResultS& r) { return QUENTA::operationName(r.m_eOperation); })
        .def_property_readonly("port", [](const ResultS& r) { return text(r.m_strPort); })
        .def_property_readonly("argument",
                               [](const ResultS& r) { return py::bytes(r.m_strArgument); })
        .def_property_readonly("answer", [](const ResultS& r) { return py::bytes(r.m_strAnswer); })
        .def_property_readonly("detail", [](const ResultS& r) { return text(r.m_strDetail); })
        .def_property_readonly("hint", [](const ResultS& r) { return text(r.m_strHint); })
        .def_property_readonly(
            "exit_code", [](const ResultS& r) { return QUENTA::describeFailure(r).m_nExitCode; })
        .def_property_readonly("message", [](const ResultS& r) {
            return text(QUENTA::describeFailure(r).m_strMessage);
        });

    using Release = py::call_guard<py::gil_scoped_release>;
    py::class_<SessionC>(module, "Session")
        .def(py::init<const std::string&>(), py::arg("port"), Release())
        .def_property_readonly("port", [](const SessionC& s) { return text(s.port()); })
        .def("opened", &SessionC::opened)
        .def("search", &search, py::arg("found") = py::none())
        .def(
            "pair",
            [](SessionC& s, const py::bytes& name) {
                std::string strName = name;
                py::gil_scoped_release nogil;
                return s.pair(strName);
            },
            py::arg("name"))
        .def("unpair", &SessionC::unpair, Release())
        .def("paired", &paired)
        .def("data_mode", &SessionC::dataMode, Release())
        .def("data_mode_anyway", &SessionC::dataModeAnyway, Release())
        .def(
            "send_line",
            [](SessionC& s, const py::bytes& line) {
                std::string strLine = line;
                py::gil_scoped_release nogil;
                return s.sendLine(strLine);
            },
            py::arg("line"))
        .def("close", &SessionC::close, Release())
        .def("_time_paired", &timePaired, py::arg("count"));
}
