#include "VCore/regular_file_p.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <QFile>

#include "VCore/eintr_p.h"

VRegularFileOpen vOpenRegularFile(const QString& path, VUniqueFd* fd)
{
    const QByteArray name = QFile::encodeName(path);
    // O_NONBLOCK: opening a FIFO without a writer would wait for one. It
    // changes nothing for reading a regular file.
    VUniqueFd opened(vRetryOnEintr([&] { return ::open(name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC); }));
    if (!opened.isValid())
        return VRegularFileOpen::Failed;
    struct stat st;
    if (::fstat(opened.get(), &st) != 0)
        return VRegularFileOpen::Failed;
    if (!S_ISREG(st.st_mode))
        return VRegularFileOpen::NotRegular;
    fd->reset(opened.release());
    return VRegularFileOpen::Opened;
}
