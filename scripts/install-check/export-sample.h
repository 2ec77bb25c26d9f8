// Sample for check-headers.sh: check-exports.pl must report each declaration
// marked "missing" here, and no other.
#include "VCore/vornlib_export.h"

class VORN_EXPORT Exported {};
class Derived : public Exported { void f(); };            // missing
struct Forward;
void freeFunction(int);                                   // missing
VORN_EXPORT int exportedFunction();
extern int plainGlobal;                                   // missing
extern VORN_EXPORT int exportedGlobal;
inline int inlineFunction() { return 1; }
static int staticFunction();
template <class T> class Template { void g(); };
typedef int Integer;
enum Kind { KindA };
Q_DECLARE_METATYPE(Exported)
class AfterMacro {};                                      // missing
QDataStream& operator<<(QDataStream&, const Exported&);   // missing
extern template class Template<int>;                      // missing
extern template class VORN_EXPORT Template<char>;
namespace Space {
class Nested {};                                          // missing
int callback(int (*cb)(int));                             // missing
}
extern "C" {
void cFunction(void);                                     // missing
}
