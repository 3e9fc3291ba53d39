#pragma once

#include <QtGlobal>

// Shared ownership of one heap object with a plain (not atomic) reference count: every copy that
// shares the object must be used by one thread at a time.
template <class T> class rcptr
{
public:
    rcptr() = default;
    explicit rcptr(T* ip_object) { Take(ip_object); }
    rcptr(const rcptr& i_other) { Share(i_other); }
    ~rcptr() { Release(); }

    rcptr& operator=(const rcptr& i_other)
    {
        if (i_other.mp_object != mp_object)
        {
            // Share first: releasing could destroy the object that holds i_other.
            rcptr l_old(*this);
            Release();
            Share(i_other);
        }
        return *this;
    }

    rcptr& operator=(T* ip_object)
    {
        if (ip_object != mp_object)
        {
            Release();
            Take(ip_object);
        }
        return *this;
    }

    T* operator->() const
    {
        if (mp_object == nullptr)
            qt_assert("mp_object != 0", __FILE__, __LINE__);
        return mp_object;
    }

    T& operator*() const { return *operator->(); }
    T* Get() const { return mp_object; }
    int GetCount() const { return mp_count ? *mp_count : 0; }

private:
    void Take(T* ip_object)
    {
        mp_object = ip_object;
        mp_count = ip_object ? new int(1) : nullptr;
    }

    void Share(const rcptr& i_other)
    {
        mp_object = i_other.mp_object;
        mp_count = i_other.mp_count;
        if (mp_count)
            ++*mp_count;
    }

    void Release()
    {
        if (mp_object == nullptr)
            return;
        if (--*mp_count == 0)
        {
            delete mp_object;
            delete mp_count;
        }
        mp_object = nullptr;
        mp_count = nullptr;
    }

    T* mp_object = nullptr;
    int* mp_count = nullptr;
};
