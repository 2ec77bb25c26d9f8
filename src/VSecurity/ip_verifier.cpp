#include "VSecurity/ip_verifier.h"

#include <arpa/inet.h>

#include <QReadLocker>
#include <QRegularExpression>
#include <QWriteLocker>

#include "VCore/cancel_guard_p.h"
#include "VDebug/debug.h"

namespace {

const QRegularExpression& maskSyntax()
{
    static const QRegularExpression re(QRegularExpression::anchoredPattern(QStringLiteral(
        "^\\d+\\.\\d+\\.\\d+\\.\\d+|\\d+\\.\\d+\\.\\d+\\.\\*|\\d+\\.\\d+\\.\\*\\.\\*|"
        "\\d+\\.\\*\\.\\*\\.\\*|\\*\\.\\*\\.\\*\\.\\*|"
        "\\d+\\.\\d+\\.\\d+\\.\\d+\\/([1-2]?[0-9]|3[0-2])$")));
    return re;
}

bool isJoker(const QString& mask)
{
    return mask == QLatin1String("*") || mask == QLatin1String("*.*.*.*");
}

} // namespace

VIpVerifier::VIpVerifier(QStringList lst, bool allAllowed)
    : _joker(allAllowed)
    , _allIPsAllowed(allAllowed)
{
    // Complaints about masks are logged with both locks held.
    VCancelGuard noCancel;
    QWriteLocker ipLock(&_rwIPlock);
    QWriteLocker masksLock(&_rwMasksLock);
    _masks.clear();
    addMasksInternalNoLock(lst);
    dropJokerIfMasksNoLock();
}

VIpVerifier::~VIpVerifier() {}

void VIpVerifier::dropJokerIfMasksNoLock()
{
    if (!_masks.isEmpty() && _joker) {
        VNOTICE(VDebug::STDOUT) << "joker (*) was IGNORED in allowed IPs" << endl;
        _joker = false;
    }
    _allIPsAllowed.store(_joker, std::memory_order_relaxed);
}

void VIpVerifier::addMasksInternalNoLock(QStringList maskList)
{
    const QRegularExpression& re = maskSyntax();
    for (const QString& raw : maskList) {
        const QString mask = raw.trimmed();
        if (isJoker(mask)) {
            _joker = true;
        } else if (re.match(mask).hasMatch()) {
            _masks.append(mask);
        } else {
            VWARNING(VDebug::STDOUT) << "Error in parsing \"" << mask
                                     << "\" for allowed IPs. Mask skipped." << endl;
        }
    }
    // verify() reads the flag without the locks: it never shows the joker
    // while masks that drop it are still being added.
    _allIPsAllowed.store(_joker && _masks.isEmpty(), std::memory_order_relaxed);
}

bool VIpVerifier::verify(in_addr_t ip)
{
    // The address is in network order: its first byte is the first octet.
    if (reinterpret_cast<const unsigned char*>(&ip)[0] == 127)
        return true;
    if (_allIPsAllowed.load(std::memory_order_relaxed))
        return true;
    {
        QReadLocker ipLock(&_rwIPlock);
        const auto it = _allowedIPs.constFind(ip);
        if (it != _allowedIPs.constEnd())
            return it.value();
    }
    QWriteLocker ipLock(&_rwIPlock);
    QReadLocker masksLock(&_rwMasksLock);
    // A mask change may have finished since the unlocked look.
    if (_allIPsAllowed.load(std::memory_order_relaxed))
        return true;
    bool allowed = false;
    for (const QString& mask : _masks) {
        if (matchMaskNoLock(ip, mask)) {
            allowed = true;
            break;
        }
    }
    // Only clients that completed a handshake get here, but a wide scan
    // still must not grow the cache without end.
    if (_allowedIPs.size() >= MAX_CACHED_VERDICTS)
        _allowedIPs.clear();
    _allowedIPs.insert(ip, allowed);
    return allowed;
}

QString VIpVerifier::getConfigString()
{
    QReadLocker masksLock(&_rwMasksLock);
    if (_allIPsAllowed.load(std::memory_order_relaxed))
        return QStringLiteral("joker (*) specified - ALL IPs ARE ALLOWED to connect");
    if (_masks.isEmpty())
        return QStringLiteral("no IPs are allowed to communicate with this machine!");
    return QStringLiteral("the following IPs/masks are allowed to communicate with this machine: ")
           + _masks.join(QLatin1Char(','));
}

void VIpVerifier::clearIPsAndMasksNoLock()
{
    _allowedIPs.clear();
    _masks.clear();
    _joker = false;
    _allIPsAllowed.store(false, std::memory_order_relaxed);
}

void VIpVerifier::clear()
{
    QWriteLocker ipLock(&_rwIPlock);
    QWriteLocker masksLock(&_rwMasksLock);
    clearIPsAndMasksNoLock();
}

void VIpVerifier::addMask(QString mask)
{
    addMasks(QStringList(mask));
}

void VIpVerifier::addMasks(QStringList masks)
{
    VCancelGuard noCancel;
    QWriteLocker ipLock(&_rwIPlock);
    QWriteLocker masksLock(&_rwMasksLock);
    _allowedIPs.clear();
    addMasksInternalNoLock(masks);
    dropJokerIfMasksNoLock();
}

void VIpVerifier::resetMasks(QStringList masks)
{
    VCancelGuard noCancel;
    QWriteLocker ipLock(&_rwIPlock);
    QWriteLocker masksLock(&_rwMasksLock);
    clearIPsAndMasksNoLock();
    addMasksInternalNoLock(masks);
    dropJokerIfMasksNoLock();
}

bool VIpVerifier::matchMaskNoLock(in_addr_t host_addr, QString addrMask) const
{
    const int slash = addrMask.indexOf(QLatin1Char('/'));
    const QStringList octets = addrMask.left(slash).split(QLatin1Char('.'));
    if (octets.size() != 4)
        return false;

    // Octets are plain decimal: "010" is 10, never octal as inet_addr reads it.
    quint32 value[4];
    bool wild[4];
    for (int i = 0; i < 4; ++i) {
        wild[i] = octets[i] == QLatin1String("*");
        bool ok = true;
        const uint v = wild[i] ? 255u : octets[i].toUInt(&ok, 10);
        if (!ok || v > 255)
            return false;
        value[i] = v;
        wild[i] = wild[i] || v == 255;
    }
    // A first octet of 255 is no unicast network: such a mask, like the
    // broadcast address itself, matches nothing.
    if (value[0] == 255)
        return false;

    int prefix;
    if (slash >= 0) {
        prefix = addrMask.mid(slash + 1).toInt();
    } else {
        // 255 and "*" are wildcards only as a trailing run: "10.255.1.1" is
        // one address, "192.168.1.255" is 192.168.1.x.
        int n = 0;
        while (n < 3 && wild[3 - n])
            ++n;
        prefix = 32 - 8 * n;
    }
    if (prefix < 0 || prefix > 32)
        return false;

    const quint32 addr = (value[0] << 24) | (value[1] << 16) | (value[2] << 8) | value[3];
    const quint32 bits = prefix == 0 ? 0u : 0xFFFFFFFFu << (32 - prefix);
    return (addr & bits) == (ntohl(host_addr) & bits);
}
