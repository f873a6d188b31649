// The root of the support library's class family.
#ifndef QMX_OBJECT_H
#define QMX_OBJECT_H

#include <cstddef>

#include "qmx/export.h"

namespace qmx {

// No data; a virtual destructor, so that deleting through a CQMXObject
// pointer runs the most derived destructor, and storage operators of its
// own. Memory from operator new goes back through the C library's free, so
// an object placed in malloc'ed memory may be deleted like any other.
class QMX_API CQMXObject {
public:
    virtual ~CQMXObject();
    CQMXObject(const CQMXObject& other);
    CQMXObject& operator=(const CQMXObject& other);

    static void* operator new(std::size_t size);
    // Construction in memory given by the caller: returns place.
    static void* operator new(std::size_t size, void* place);
    static void operator delete(void* pointer);
    // The match of the placement form, used when a constructor throws there:
    // the memory stays the caller's.
    static void operator delete(void* pointer, void* place);

protected:
    CQMXObject();
};

}  // namespace qmx

#endif
