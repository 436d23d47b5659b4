#include "SIM_SimulatedModule.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

namespace QUENTA {
namespace SIM {

namespace {

// The three slashes come in one write; a little spread is allowed for the line.
const std::chrono::milliseconds c_escapeSpan(100);
// Without a host the master reports a hang-up at once; look again this often.
const int c_iHostAbsentPollMs = 5;
const size_t c_unMaxLineLength = 512;

std::string describeSerial(const SimSerialS& serial)
{
    static const char c_szParity[] = "?NOE";
    std::string strText = std::to_string(serial.baudRate()) + " " +
                          std::to_string(serial.dataBits()) +
                          c_szParity[serial.m_unParity <= 3 ? serial.m_unParity : 0] +
                          std::to_string(serial.m_unStopBits);
    return strText + (serial.rtsCts() ? " rtscts" : " no handshake");
}

std::string describeHost(const SimHostLineS& host)
{
    static const char c_szParity[] = "?NOE";
    return "host line " + std::to_string(host.m_ulBaudRate) + " " +
           std::to_string(host.m_unDataBits) +
           c_szParity[host.m_unParity <= 3 ? host.m_unParity : 0] +
           std::to_string(host.m_unStopBits) + (host.m_bRtsCts ? " rtscts" : " no handshake");
}

} // namespace

std::vector<SimDeviceS> defaultDevices()
{
    return {
        {"02a0c7a1b2c3r", 7978, "QUENTA-ALPHA", -48},   {"02a0c7a1b2c4r", 1234, "Headset", -70},
        {"02a0c7a1b2c5r", 7978, "QUENTA-BRAVO", -55},   {"02a0c7a1b2c6r", 524, "Phone", -62},
        {"02a0c7a1b2c7r", 7978, "QUENTA-CHARLIE", -80},
    };
}

SimulatedModuleC::SimulatedModuleC(const SimConfigS& config)
    : m_config(config), m_random(config.m_ulSeed)
{
    m_state = factoryState();
    m_state.m_eMode = config.m_eInitialMode;
    m_state.m_active = config.m_lineSettings;
    m_state.m_stored = config.m_lineSettings;
    m_transcript.setModeName(modeName(m_state.m_eMode));
}

SimulatedModuleC::~SimulatedModuleC()
{
    stop();
}

bool SimulatedModuleC::start()
{
    if (m_bRunning) {
        return true;
    }
    if (!m_pty.open()) {
        return false;
    }
    if (pipe2(m_hWake, O_NONBLOCK | O_CLOEXEC) != 0) {
        m_pty.close();
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        m_strSlavePath = m_pty.slavePath();
        m_tLastRx = SimClockT::now();
        m_bVanished = false;
        m_bVanishRequested = false;
    }
    m_transcript.add(EK_MODE, modeName(mode()), SimHostLineS());
    m_bStop = false;
    m_bRunning = true;
    m_thread = std::thread(&SimulatedModuleC::run, this);
    return true;
}

void SimulatedModuleC::stop()
{
    if (!m_bRunning) {
        return;
    }
    m_bStop = true;
    wake();
    m_thread.join();
    m_bRunning = false;
    m_pty.close();
    for (int& hFd : m_hWake) {
        ::close(hFd);
        hFd = -1;
    }
}

bool SimulatedModuleC::isRunning() const
{
    return m_bRunning;
}

std::string SimulatedModuleC::slavePath() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_strSlavePath;
}

SimStateS SimulatedModuleC::state() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_state;
}

SimModeE SimulatedModuleC::mode() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_state.m_eMode;
}

SimConfigS SimulatedModuleC::config() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_config;
}

void SimulatedModuleC::modifyState(const std::function<void(SimStateS&)>& fnChange)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        fnChange(m_state);
    }
    m_cvState.notify_all();
    wake();
}

bool SimulatedModuleC::waitForState(const StatePredicateT& predicate, uint32_t ulTimeoutMs) const
{
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cvState.wait_for(lock, std::chrono::milliseconds(ulTimeoutMs),
                              [&] { return predicate(m_state); });
}

bool SimulatedModuleC::waitForMode(SimModeE eMode, uint32_t ulTimeoutMs) const
{
    return waitForState([eMode](const SimStateS& state) { return state.m_eMode == eMode; },
                        ulTimeoutMs);
}

void SimulatedModuleC::setMode(SimModeE eMode)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        enterMode(eMode, std::string(modeName(eMode)) + " (set)");
    }
    m_cvState.notify_all();
}

void SimulatedModuleC::setLineSettings(const SimSerialS& serial)
{
    modifyState([&serial](SimStateS& state) {
        state.m_active = serial;
        state.m_stored = serial;
    });
}

void SimulatedModuleC::setLineSettings(uint32_t ulBaudRate, bool bRtsCts)
{
    SimSerialS serial;
    serial.m_unBaudRate = codeFromBaud(ulBaudRate);
    serial.m_unFlowControl = bRtsCts ? 1 : 2;
    setLineSettings(serial);
}

void SimulatedModuleC::setDevices(const std::vector<SimDeviceS>& vecDevices)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config.m_vecDevices = vecDevices;
}

void SimulatedModuleC::modifyDevices(const std::function<void(std::vector<SimDeviceS>&)>& fnChange)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    fnChange(m_config.m_vecDevices);
}

void SimulatedModuleC::setEcho(bool bEcho)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config.m_bEcho = bEcho;
}

void SimulatedModuleC::setScanMs(uint32_t ulMs)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config.m_ulScanMs = ulMs;
}

void SimulatedModuleC::setNameMs(uint32_t ulMs)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config.m_ulNameMs = ulMs;
}

void SimulatedModuleC::setRestartMs(uint32_t ulMs)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config.m_ulRestartMs = ulMs;
}

void SimulatedModuleC::setGuardMs(uint32_t ulMs)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config.m_ulGuardMs = ulMs;
}

void SimulatedModuleC::setStrictFlowControl(bool bStrict)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config.m_bStrictFlowControl = bStrict;
}

void SimulatedModuleC::setAnswerNoise(bool bAnswer)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_config.m_bAnswerNoise = bAnswer;
}

void SimulatedModuleC::setSplitGapMs(uint32_t ulMs)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_faults.setSplitGapMs(ulMs);
}

void SimulatedModuleC::setFault(const SimFaultS& fault)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_faults.set(fault);
}

bool SimulatedModuleC::clearFault(const std::string& strTarget)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_faults.clear(strTarget);
}

void SimulatedModuleC::clearFaults()
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_faults.clearAll();
    m_faults.clearTriggers();
}

std::vector<SimFaultS> SimulatedModuleC::faults() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_faults.active();
}

void SimulatedModuleC::onCommand(const std::string& strWord, uint32_t unOccurrence,
                                 const std::function<void()>& fnAction)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_faults.addTrigger(strWord, unOccurrence, fnAction);
}

size_t SimulatedModuleC::pendingTriggers() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_faults.triggerCount();
}

// The shorthands set or clear one fault on "*" (or on a word or a device).
static void setOrClear(SimFaultsC& faults, SimFaultKindE eKind, uint32_t ulArg, uint32_t unCount,
                       bool bSet)
{
    if (!bSet) {
        faults.clearKind("*", eKind);
        return;
    }
    SimFaultS fault;
    fault.m_strTarget = "*";
    fault.m_eKind = eKind;
    fault.m_ulArg = ulArg;
    fault.m_unCount = unCount;
    faults.set(fault);
}

void SimulatedModuleC::dropNextAnswers(uint32_t unCount)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    setOrClear(m_faults, FK_DROP, 0, unCount, unCount > 0);
}

void SimulatedModuleC::failNextCommands(uint32_t unCount)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    setOrClear(m_faults, FK_ERROR, 0, unCount, unCount > 0);
}

void SimulatedModuleC::setAnswerDelay(uint32_t ulMs)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    setOrClear(m_faults, FK_DELAY, ulMs, 0, ulMs > 0);
}

void SimulatedModuleC::setSplitAnswers(bool bSplit, uint32_t ulMaxGapMs)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_faults.setSplitGapMs(ulMaxGapMs);
    setOrClear(m_faults, FK_SPLIT, 0, 0, bSplit);
}

void SimulatedModuleC::injectGarbage(const std::string& strBytes)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        const std::string strGarbage = strBytes.empty() ? randomBytes(16) : strBytes;
        m_transcript.add(EK_NOTE, "fault: garbage", m_lastHost);
        // Straight onto the line, even in the middle of a pending answer.
        send(strGarbage);
    }
    wake();
}

void SimulatedModuleC::failNameQuery(const std::string& strAddress, SimNameFailE eFail,
                                     bool bSilent)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    if (eFail == NF_NONE) {
        m_faults.clear(nameTarget(strAddress));
        return;
    }
    SimFaultS fault;
    fault.m_strTarget = nameTarget(strAddress);
    fault.m_eKind = bSilent ? FK_SILENT : FK_ERROR;
    fault.m_unCount = eFail == NF_ONCE ? 1 : 0;
    m_faults.set(fault);
}

void SimulatedModuleC::vanish()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_bVanished) {
        return;
    }
    if (std::this_thread::get_id() == m_thread.get_id()) {
        closeLine(); // from an onCommand action: the loop is here, not in poll
        return;
    }
    if (!m_bRunning) {
        m_pty.close();
        m_bVanished = true;
        return;
    }
    m_bVanishRequested = true;
    lock.unlock();
    wake();
    lock.lock();
    // The loop closes the master itself, so no poll ever waits on a closed descriptor.
    m_cvState.wait(lock, [this] { return m_bVanished; });
}

bool SimulatedModuleC::comeBack()
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        if (!m_bVanished || !m_pty.open()) {
            return false;
        }
        m_strSlavePath = m_pty.slavePath();
        m_bVanished = false;
        m_bVanishRequested = false;
        m_bHostAbsent = false;
        m_bHostSeen = false;
        m_deqIn.clear();
        m_strTx.clear(); // what was sent while away never reached a line
        m_strLine.clear();
        m_bLineCounted = false;
        m_unEscapeSlashes = 0;
        m_tLastRx = SimClockT::now();
        m_transcript.add(EK_MODE, "returned on " + m_strSlavePath, m_lastHost);
        if (m_state.m_bRestarting) {
            runAction(OA_RESTART_DONE);
        }
    }
    m_cvState.notify_all();
    wake();
    return true;
}

void SimulatedModuleC::vanishOnCommand(const std::string& strWord, uint32_t unOccurrence)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    SimFaultS fault;
    fault.m_strTarget = strWord;
    fault.m_eKind = FK_VANISH;
    fault.m_unSkip = unOccurrence > 0 ? unOccurrence - 1 : 0;
    fault.m_unCount = 1;
    m_faults.set(fault);
}

bool SimulatedModuleC::isVanished() const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    return m_bVanished;
}

bool SimulatedModuleC::hostLine(SimHostLineS& host) const
{
    std::lock_guard<std::mutex> guard(m_mutex);
    host = m_lastHost;
    return m_bHostSeen;
}

void SimulatedModuleC::addNote(const std::string& strText)
{
    std::lock_guard<std::mutex> guard(m_mutex);
    m_transcript.add(EK_NOTE, strText, m_lastHost);
}

void SimulatedModuleC::sendFromRemotePeer(const std::string& strBytes)
{
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        send(strBytes);
    }
    wake();
}

// ------------------------------------------------------------------ the loop

void SimulatedModuleC::wake()
{
    if (m_hWake[1] >= 0) {
        const char c = 1;
        while (::write(m_hWake[1], &c, 1) < 0 && errno == EINTR) {
        }
    }
}

void SimulatedModuleC::run()
{
    while (!m_bStop) {
        pollfd fds[2] = {{m_hWake[0], POLLIN, 0}, {-1, 0, 0}};
        int iTimeoutMs = -1;
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            iTimeoutMs = pollTimeoutMs(SimClockT::now());
            if (m_pty.isOpen() && !m_bHostAbsent) {
                fds[1].fd = m_pty.masterFd();
                fds[1].events = static_cast<short>(POLLIN | (m_strTx.empty() ? 0 : POLLOUT));
            }
        }
        poll(fds, 2, iTimeoutMs);
        char szDrain[64];
        while (::read(m_hWake[0], szDrain, sizeof(szDrain)) > 0) {
        }
        {
            std::lock_guard<std::mutex> guard(m_mutex);
            const SimClockT::time_point tNow = SimClockT::now();
            if (m_bVanishRequested && !m_bVanished) {
                closeLine();
            }
            if (m_pty.isOpen()) {
                receive(tNow);
                pump();
                flushTx();
            }
        }
        m_cvState.notify_all();
        runTriggered();
    }
}

void SimulatedModuleC::runTriggered()
{
    std::vector<SimFaultsC::ActionT> vecActions;
    {
        std::lock_guard<std::mutex> guard(m_mutex);
        vecActions.swap(m_vecTriggered);
    }
    if (vecActions.empty()) {
        return;
    }
    for (const SimFaultsC::ActionT& fnAction : vecActions) {
        fnAction();
    }
    // The line that triggered them waits in the input; go round again for it.
    wake();
}

int SimulatedModuleC::pollTimeoutMs(SimClockT::time_point tNow) const
{
    if (!m_pty.isOpen()) {
        return -1;
    }
    SimClockT::time_point tNext = SimClockT::time_point::max();
    if (!m_deqOut.empty()) {
        tNext = m_deqOut.front().m_tDue;
    }
    if (m_unEscapeSlashes == 3) {
        tNext = std::min(tNext, m_tEscapeDue);
    }
    int iTimeoutMs = -1;
    if (tNext != SimClockT::time_point::max()) {
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(tNext - tNow);
        iTimeoutMs = static_cast<int>(std::max<long long>(0, remaining.count()));
    }
    if (m_bHostAbsent && (iTimeoutMs < 0 || iTimeoutMs > c_iHostAbsentPollMs)) {
        iTimeoutMs = c_iHostAbsentPollMs;
    }
    return iTimeoutMs;
}

void SimulatedModuleC::closeLine()
{
    // Recorded first: the host may see the hang-up before this thread goes on.
    m_transcript.add(EK_MODE, "vanished", m_lastHost);
    m_pty.close();
    m_deqOut.clear();
    m_deqIn.clear();
    m_strTx.clear();
    m_bVanished = true;
}

void SimulatedModuleC::receive(SimClockT::time_point tNow)
{
    std::string strBytes;
    const SimIoResultE eResult = m_pty.read(strBytes);
    m_bHostAbsent = eResult == IO_HOST_ABSENT;
    if (!strBytes.empty()) {
        onReceived(tNow, strBytes);
    }
}

bool SimulatedModuleC::lineMatches(const SimHostLineS& host) const
{
    const SimSerialS& active = m_state.m_active;
    const bool bFlowMatches = !m_config.m_bStrictFlowControl || host.m_bRtsCts == active.rtsCts();
    return host.m_ulBaudRate == active.baudRate() && host.m_unDataBits == active.dataBits() &&
           host.m_unParity == active.m_unParity && bFlowMatches;
}

void SimulatedModuleC::onReceived(SimClockT::time_point tArrival, const std::string& strBytes)
{
    const SimHostLineS host = m_pty.hostSettings();
    if (!m_bHostSeen || host != m_lastHost) {
        m_transcript.add(EK_NOTE, describeHost(host), host);
        m_lastHost = host;
        m_bHostSeen = true;
    }
    if (m_state.m_bRestarting || !lineMatches(host)) {
        // Garbage on the line still breaks the silence around an escape sequence.
        std::string strData;
        cancelEscape(strData);
        if (!strData.empty()) {
            m_transcript.add(EK_DATA, strData, host);
        }
        m_tLastRx = tArrival;
        m_strLine.clear();
        m_transcript.add(EK_NOISE, strBytes, host);
        if (m_config.m_bAnswerNoise && !m_state.m_bRestarting) {
            send(randomBytes(1 + m_random() % 8));
        }
        return;
    }
    m_deqIn.push_back({tArrival, strBytes});
}

void SimulatedModuleC::pump()
{
    for (;;) {
        const SimClockT::time_point tNow = SimClockT::now();
        if (m_deqIn.empty()) {
            // Input that is still queued may break the trailing silence.
            checkEscape(tNow);
        }
        runDueItems(tNow);
        if (m_deqIn.empty() || !m_deqOut.empty() || m_state.m_bRestarting ||
            !m_vecTriggered.empty()) {
            return;
        }
        processInput();
    }
}

void SimulatedModuleC::processInput()
{
    while (!m_deqIn.empty() && m_deqOut.empty() && !m_state.m_bRestarting &&
           m_vecTriggered.empty()) {
        InChunkS& chunk = m_deqIn.front();
        if (m_bLineCounted && m_state.m_eMode == SM_DATA) {
            // A step switched to data mode before the line was handled: it
            // goes unanswered, and its CR is no data.
            chunk.m_strBytes.erase(0, 1);
            m_bLineCounted = false;
            if (chunk.m_strBytes.empty()) {
                m_deqIn.pop_front();
                continue;
            }
        }
        checkEscape(chunk.m_tArrival);
        if (m_state.m_eMode == SM_DATA) {
            processDataChunk(chunk);
            m_deqIn.pop_front();
        } else if (processCommandChunk(chunk)) {
            m_deqIn.pop_front();
        }
    }
}

void SimulatedModuleC::processDataChunk(InChunkS& chunk)
{
    const std::chrono::milliseconds guard(m_config.m_ulGuardMs);
    const SimClockT::time_point tArrival = chunk.m_tArrival;
    std::string strData;
    for (char c : chunk.m_strBytes) {
        if (m_unEscapeSlashes == 0) {
            if (c == '/' && tArrival - m_tLastRx >= guard) {
                m_unEscapeSlashes = 1;
                m_tEscapeFirst = tArrival;
            } else {
                strData += c;
            }
        } else if (c == '/' && m_unEscapeSlashes < 3 && tArrival - m_tEscapeFirst <= c_escapeSpan) {
            if (++m_unEscapeSlashes == 3) {
                m_tEscapeDue = tArrival + guard;
            }
        } else {
            cancelEscape(strData);
            strData += c;
        }
        m_tLastRx = tArrival;
    }
    if (!strData.empty()) {
        m_transcript.add(EK_DATA, strData, m_lastHost);
    }
}

void SimulatedModuleC::cancelEscape(std::string& strData)
{
    strData.append(m_unEscapeSlashes, '/');
    m_unEscapeSlashes = 0;
}

void SimulatedModuleC::checkEscape(SimClockT::time_point tNow)
{
    if (m_unEscapeSlashes == 3 && tNow >= m_tEscapeDue && m_state.m_eMode == SM_DATA) {
        m_unEscapeSlashes = 0;
        enterMode(SM_COMMAND, "command (escape sequence)");
    }
}

bool SimulatedModuleC::processCommandChunk(InChunkS& chunk)
{
    size_t unPos = 0;
    while (unPos < chunk.m_strBytes.size()) {
        const char c = chunk.m_strBytes[unPos++];
        if (c == '\r') {
            if (!m_bLineCounted) {
                m_transcript.add(EK_RECEIVED_LINE, m_strLine + "\r", m_lastHost);
                m_bLineCounted = true;
                m_faults.takeTriggered(m_strLine, m_vecTriggered);
                if (!m_vecTriggered.empty()) {
                    // Handled once the actions ran: keep the CR for then.
                    chunk.m_strBytes.erase(0, unPos - 1);
                    return false;
                }
            }
            m_bLineCounted = false;
            handleLine(m_strLine);
            m_strLine.clear();
            if (!m_deqOut.empty() || m_state.m_eMode == SM_DATA) {
                // The rest waits until the answer is out, and then may be data.
                chunk.m_strBytes.erase(0, unPos);
                return chunk.m_strBytes.empty();
            }
        } else if (c == '\n' && m_strLine.empty()) {
            continue;
        } else if (m_strLine.size() < c_unMaxLineLength) {
            m_strLine += c;
        }
    }
    return true;
}

void SimulatedModuleC::handleLine(const std::string& strLine)
{
    const std::string strEcho = m_config.m_bEcho ? strLine + "\r" : std::string();
    const SimFaultOutcomeS faults = m_faults.onCommand(strLine);
    for (const std::string& strFired : faults.m_vecFired) {
        m_transcript.add(EK_NOTE, "fault: " + strFired, m_lastHost);
    }
    if (faults.m_bAnswerFault && faults.m_eAnswer == FK_ERROR) {
        m_transcript.add(EK_NOTE, "fault: answered ERROR", m_lastHost);
        schedule(0, strEcho, OA_NONE, faults.m_bSplit && faults.m_unPieces == 0);
        schedule(faults.m_ulDelayMs, SimCommandSetC::c_szError, OA_NONE, faults.m_bSplit,
                 faults.m_unPieces);
        return;
    }
    if (faults.m_bAnswerFault && faults.m_eAnswer == FK_VANISH) {
        m_transcript.add(EK_NOTE, "fault: vanishing", m_lastHost);
        schedule(0, strEcho, OA_VANISH);
        return;
    }
    answerLine(strLine, faults, strEcho);
}

void SimulatedModuleC::answerLine(const std::string& strLine, const SimFaultOutcomeS& faults,
                                  const std::string& strEcho)
{
    const bool bSilentName = m_faults.nameQuerySilent(strLine);
    const SimReplyS reply =
        SimCommandSetC::execute(strLine, m_state, m_config.m_vecDevices, m_faults.nameFailures());
    OutActionE eAction = OA_NONE;
    switch (reply.m_eAfter) {
    case SimReplyS::AF_DATA_MODE:
        eAction = OA_DATA_MODE;
        break;
    case SimReplyS::AF_RESTART:
        eAction = OA_RESTART;
        break;
    case SimReplyS::AF_PRODUCTION:
        eAction = OA_PRODUCTION;
        break;
    case SimReplyS::AF_NONE:
        break;
    }
    uint32_t ulDelayMs = faults.m_ulDelayMs;
    if (reply.m_eDelay == SimReplyS::DL_SCAN) {
        ulDelayMs += m_config.m_ulScanMs;
    } else if (reply.m_eDelay == SimReplyS::DL_NAME) {
        ulDelayMs += m_config.m_ulNameMs;
    }
    const SimFaultKindE eFault = faults.m_bAnswerFault ? faults.m_eAnswer : FK_DELAY;
    if (eFault == FK_DROP) {
        m_transcript.add(EK_NOTE, "fault: answer dropped", m_lastHost);
        schedule(ulDelayMs, std::string(), eAction);
        return;
    }
    schedule(0, strEcho, OA_NONE, faults.m_bSplit && faults.m_unPieces == 0);
    if (bSilentName || eFault == FK_SILENT) {
        m_transcript.add(EK_NOTE,
                         bSilentName ? "fault: name query not answered" : "fault: not answered",
                         m_lastHost);
        // What follows the answer still happens: a restart or data mode.
        schedule(ulDelayMs, std::string(), eAction);
        return;
    }
    std::string strAnswer = reply.m_strAnswer;
    if (eFault == FK_GARBAGE) {
        strAnswer =
            randomBytes(faults.m_ulGarbageBytes != 0 ? faults.m_ulGarbageBytes : strAnswer.size());
    }
    schedule(ulDelayMs, strAnswer, eAction, faults.m_bSplit, faults.m_unPieces);
}

void SimulatedModuleC::schedule(uint32_t ulDelayMs, const std::string& strBytes, OutActionE eAction,
                                bool bSplit, uint32_t unPieces)
{
    if (strBytes.empty() && eAction == OA_NONE) {
        return;
    }
    SimClockT::time_point tDue = SimClockT::now() + std::chrono::milliseconds(ulDelayMs);
    if (!m_deqOut.empty()) {
        tDue = std::max(tDue, m_deqOut.back().m_tDue);
    }
    if (!bSplit || strBytes.size() < 2) {
        m_deqOut.push_back({tDue, strBytes, eAction});
        return;
    }
    const size_t unCount = std::min<size_t>(unPieces, strBytes.size());
    size_t unPos = 0;
    for (size_t unPiece = 0; unPos < strBytes.size(); ++unPiece) {
        const size_t unRemaining = strBytes.size() - unPos;
        // N pieces of (nearly) equal size, or pieces of random size.
        const size_t unSize =
            unCount != 0 ? unRemaining / (unCount - unPiece) : 1 + m_random() % unRemaining;
        const bool bLast = unSize == unRemaining;
        m_deqOut.push_back({tDue, strBytes.substr(unPos, unSize), bLast ? eAction : OA_NONE});
        unPos += unSize;
        tDue += std::chrono::milliseconds(m_random() % (m_faults.splitGapMs() + 1));
    }
}

void SimulatedModuleC::runDueItems(SimClockT::time_point tNow)
{
    while (!m_deqOut.empty() && m_deqOut.front().m_tDue <= tNow) {
        const OutItemS item = m_deqOut.front();
        m_deqOut.pop_front();
        send(item.m_strBytes);
        runAction(item.m_eAction);
    }
}

void SimulatedModuleC::send(const std::string& strBytes)
{
    if (strBytes.empty()) {
        return;
    }
    m_transcript.add(EK_SENT, strBytes, m_lastHost);
    m_strTx += strBytes;
    flushTx();
}

void SimulatedModuleC::flushTx()
{
    if (m_strTx.empty() || !m_pty.isOpen()) {
        return;
    }
    size_t unWritten = 0;
    if (m_pty.write(m_strTx.data(), m_strTx.size(), unWritten) == IO_HOST_ABSENT) {
        // Nobody listens: the bytes are lost on the line, as with a real cable.
        m_strTx.clear();
        return;
    }
    m_strTx.erase(0, unWritten);
}

void SimulatedModuleC::runAction(OutActionE eAction)
{
    switch (eAction) {
    case OA_NONE:
        break;
    case OA_DATA_MODE:
        enterMode(SM_DATA, "data");
        break;
    case OA_PRODUCTION:
        enterMode(SM_PRODUCTION, "production");
        break;
    case OA_RESTART:
        m_state.m_bRestarting = true;
        m_deqIn.clear();
        m_strLine.clear();
        m_transcript.add(EK_MODE, "restarting", m_lastHost);
        m_deqOut.push_back({SimClockT::now() + std::chrono::milliseconds(m_config.m_ulRestartMs),
                            std::string(), OA_RESTART_DONE});
        break;
    case OA_RESTART_DONE:
        m_state.m_bRestarting = false;
        m_state.m_active = m_state.m_stored;
        ++m_state.m_unRestarts;
        enterMode(SM_DATA, "data (restarted, " + describeSerial(m_state.m_active) + ")");
        break;
    case OA_VANISH:
        closeLine();
        break;
    }
}

void SimulatedModuleC::enterMode(SimModeE eMode, const std::string& strNote)
{
    m_state.m_eMode = eMode;
    m_unEscapeSlashes = 0;
    m_strLine.clear();
    // The guard before an escape sequence counts from the mode change.
    m_tLastRx = SimClockT::now();
    m_transcript.setModeName(modeName(eMode));
    m_transcript.add(EK_MODE, strNote, m_lastHost);
}

std::string SimulatedModuleC::randomBytes(size_t unCount)
{
    std::string strBytes;
    for (size_t i = 0; i < unCount; ++i) {
        strBytes += static_cast<char>(m_random() & 0xff);
    }
    return strBytes;
}

} // namespace SIM
} // namespace QUENTA
