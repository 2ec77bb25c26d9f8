// A user's program built against the installed library alone: it reaches
// classes, templates, Qt meta-objects, exceptions, C functions and globals
// across the shared library's export boundary. Exits non-zero on a mismatch.
#include <cstring>
#include <iostream>

#include <QBuffer>

#include <VCore/thread.h>
#include <VCore/vexception.h>
#include <VDebug/debug.h>
#include <VIO/json_value.h>
#include <VIO/json_writer.h>
#include <VIpc/message.h>
#include <VIpc/type_info.h>
#include <VIpc/xml_type_loader.h>
#include <VSecurity/md5.h>
#include <VSecurity/sha256.h>
#include <redist/arc4/arc4.h>
#include <redist/md5/md5_impl.h>
#include <redist/sha256/sha256_impl.h>

static int failures = 0;

static void expect(bool ok, const char* what)
{
    if (!ok) {
        std::cerr << "consumer: FAILED: " << what << std::endl;
        ++failures;
    }
}

class Worker : public VThread
{
public:
    Worker() : VThread("worker") {}
    bool ran = false;

protected:
    void run() override { ran = true; }
};

int main()
{
    // Thrown inside the library, caught here by its type.
    bool caught = false;
    try {
        QBuffer xml;
        xml.setData("<types/>");
        xml.open(QIODevice::ReadOnly);
        VXmlTypeLoader(&xml).loadTypeByName("Missing");
    } catch (const VException& e) {
        caught = std::strlen(e.what()) > 0;
    }
    expect(caught, "VException from the library");

    // The exported explicit instantiation, here without optimisation.
    VTypeInfo point("Point");
    point.addField32("x");
    point.addFieldVariableSize("label");
    point.finalize();
    expect(point.getTypeDigest().size() == 32, "VTypeInfo digest");

    Worker worker;
    worker.start();
    worker.join();
    expect(worker.ran, "VThread subclass ran");

    VMessage message;
    expect(qobject_cast<VSerializable*>(&message) != nullptr, "qobject_cast to VSerializable");
    expect(std::strcmp(message.metaObject()->className(), "VMessage") == 0, "VMessage meta-object");

    VJsonValue value(VJSONTYPE_OBJECT);
    value["b"] = 2;
    value["a"] = "x";
    QString text;
    VJsonWriter(0, 0, 0).write(value, text);
    expect(text.contains(QStringLiteral("\"a\" : \"x\",")) && text.indexOf(QLatin1String("\"b\" : 2")) > 0,
           "JSON text");

    // FIPS 180-2 and RFC 1321 vectors for "abc".
    expect(VSHA256::hash("abc") == "ba7816bf8f01cfea414140de5dae2223b00361a3", "VSHA256");
    expect(VMD5::hash("abc") == "900150983CD24FB0D6963F7D28E17F72", "VMD5");
    QByteArray raw;
    digest("abc", raw);
    expect(raw.toHex() == "900150983cd24fb0d6963f7d28e17f72", "digest()");
    md5_state_t md5;
    md5_byte_t md5Out[16];
    vornlib_md5_init(&md5);
    vornlib_md5_append(&md5, reinterpret_cast<const md5_byte_t*>("abc"), 3);
    vornlib_md5_finish(&md5, md5Out);
    expect(md5Out[0] == 0x90 && md5Out[15] == 0x72, "vornlib_md5_*");
    expect(H[0] == 0x6a09e667u, "H");
    vorn_SHA256_ctx sha;
    sha256_byte_t shaOut[32];
    SHA256_init(&sha);
    SHA256_update(&sha, "abc", 3);
    SHA256_final(&sha);
    SHA256_digest(&sha, shaOut);
    expect(shaOut[0] == 0xba && shaOut[31] == 0xad, "SHA256_*");
    expect(arc4_self_test() == 0, "arc4_self_test");

    VDebug::setDebugLevel(VDebug::STDOUT, VDebug::VNOTICE);
    VNOTICE(VDebug::STDOUT) << "consumer:" << failures << "failures" << endl;
    return failures == 0 ? 0 : 1;
}
