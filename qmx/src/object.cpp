// The root class: empty object, storage operators.
// <new> comes before the exported class: MinGW's g++ exports the type
// information of std::bad_alloc and std::exception from a unit where they
// are first seen after a dllexport class.
#include <cstdlib>
#include <new>

#include "qmx/object.h"

namespace qmx {

CQMXObject::CQMXObject()
{
}

CQMXObject::CQMXObject(const CQMXObject&)
{
}

CQMXObject::~CQMXObject()
{
}

CQMXObject& CQMXObject::operator=(const CQMXObject&)
{
    return *this;
}

void* CQMXObject::operator new(std::size_t size)
{
    // Release goes through free(), so the memory must come from malloc. This
    // is what the global operator new does (malloc, the new handler, then
    // bad_alloc), without counting on it: a replaced or instrumented global
    // operator new would not pair with free().
    if (size == 0)
        size = 1;
    for (;;) {
        if (void* memory = std::malloc(size))
            return memory;
        std::new_handler handler = std::get_new_handler();
        if (!handler)
            throw std::bad_alloc();
        handler();
    }
}

void* CQMXObject::operator new(std::size_t, void* place)
{
    return place;
}

void CQMXObject::operator delete(void* pointer)
{
    std::free(pointer);
}

void CQMXObject::operator delete(void*, void*)
{
}

}  // namespace qmx
