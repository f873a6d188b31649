// The library's root class: destruction through a base pointer and its
// storage operators, ordinary and placement forms.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <typeinfo>

#include "qmx/object.h"

using qmx::CQMXObject;

namespace {

class CRecorded : public CQMXObject {
public:
    CRecorded(std::string* log, char name, bool fail = false) : m_pLog(log), m_cName(name)
    {
        if (fail)
            throw std::runtime_error("construction failed");
        *m_pLog += '+';
        *m_pLog += m_cName;
    }
    ~CRecorded() override
    {
        *m_pLog += '-';
        *m_pLog += m_cName;
    }

private:
    std::string* m_pLog;
    char m_cName;
    char m_acPayload[40] = {};
};

}  // namespace

static_assert(!std::is_default_constructible<CQMXObject>::value, "only derived classes construct it");
static_assert(std::has_virtual_destructor<CQMXObject>::value, "deleted through base pointers");

TEST(QMXObjectStorage, DeleteThroughBasePointerRunsTheDerivedDestructor)
{
    std::string log;
    CQMXObject* object = new CRecorded(&log, 'a');
    EXPECT_EQ(typeid(CRecorded), typeid(*object));
    EXPECT_NE(nullptr, dynamic_cast<CRecorded*>(object));
    delete object;
    EXPECT_EQ("+a-a", log);
}

TEST(QMXObjectStorage, ObjectPlacedInMallocMemoryMayBeDeletedLikeAnyOther)
{
    std::string log;
    void* memory = std::malloc(sizeof(CRecorded));
    ASSERT_NE(nullptr, memory);
    CQMXObject* object = new (memory) CRecorded(&log, 'm');
    EXPECT_EQ(memory, static_cast<void*>(object));
    delete object;  // released with free()
    EXPECT_EQ("+m-m", log);
}

TEST(QMXObjectStorage, PlacementInCallersBufferLeavesTheBufferToTheCaller)
{
    std::string log;
    alignas(CRecorded) unsigned char buffer[sizeof(CRecorded)];
    CRecorded* object = new (buffer) CRecorded(&log, 'p');
    EXPECT_EQ(static_cast<void*>(buffer), static_cast<void*>(object));
    object->~CRecorded();
    EXPECT_EQ("+p-p", log);

    // A constructor that throws in placement calls the matching placement
    // delete, which must not release the caller's (stack) memory.
    EXPECT_THROW(new (buffer) CRecorded(&log, 'x', true), std::runtime_error);
    CRecorded* again = new (buffer) CRecorded(&log, 'q');
    again->~CRecorded();
    EXPECT_EQ("+p-p+q-q", log);
}

TEST(QMXObjectStorage, ConstructorThatThrowsReleasesTheHeapMemory)
{
    // The sanitizers' leak check, and heap checks under Wine, see a block
    // that is not given back.
    std::string log;
    for (int i = 0; i < 100; ++i)
        EXPECT_THROW(new CRecorded(&log, 'x', true), std::runtime_error);
    EXPECT_EQ("", log);
}
