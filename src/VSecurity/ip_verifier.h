// VIpVerifier: an allow-list of client IPv4 addresses (exact addresses,
// trailing wildcard octets, address/prefix pairs, or the joker "*") with a
// verdict cache. Loopback (127.x.x.x) is always allowed.
// Thread-safe: any number of threads may call every member at once.
#ifndef VORNLIB_VSECURITY_IP_VERIFIER_H
#define VORNLIB_VSECURITY_IP_VERIFIER_H

#include "VCore/vornlib_export.h"

#include <netinet/in.h>

#include <atomic>

#include <QHash>
#include <QReadWriteLock>
#include <QString>
#include <QStringList>

class VORN_EXPORT VIpVerifier
{
public:
    // Masks that fail the syntax are logged on VDebug::STDOUT and skipped.
    // The joker (from allAllowed or a "*" mask) is dropped when any mask
    // remains.
    VIpVerifier(QStringList lst, bool allAllowed);
    ~VIpVerifier();

    VIpVerifier(const VIpVerifier&) = delete;
    VIpVerifier& operator=(const VIpVerifier&) = delete;

    // Whether the address (network byte order) may connect.
    bool verify(in_addr_t ip);

    // One line for people describing what is allowed.
    QString getConfigString();

    // Mask changes keep the constructor's rules and empty the verdict cache.
    void clear();
    void addMask(QString mask);
    void addMasks(QStringList masks);
    void resetMasks(QStringList masks);

    // The cache is emptied when it would grow past this many addresses.
    static const int MAX_CACHED_VERDICTS = 65536;

protected:
    // The caller holds both write locks.
    void addMasksInternalNoLock(QStringList maskList);

private:
    bool matchMaskNoLock(in_addr_t host_addr, QString addrMask) const;
    void clearIPsAndMasksNoLock();
    void dropJokerIfMasksNoLock();

    QHash<unsigned int, bool> _allowedIPs;
    QReadWriteLock _rwIPlock;
    QStringList _masks;
    QReadWriteLock _rwMasksLock;
    // The joker while masks change (both write locks held); _allIPsAllowed
    // is its published value.
    bool _joker;
    std::atomic<bool> _allIPsAllowed;
};

#endif
