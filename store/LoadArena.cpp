#include "LoadArena.h"

#include <cstdint>
#include <new>
#include <sanitizer/asan_interface.h>
#include <sys/mman.h>

namespace
{
constexpr std::size_t RoundUp(std::size_t i_bytes, std::size_t i_to)
{
    return (i_bytes + i_to - 1) / i_to * i_to;
}
} // namespace

LoadArena::~LoadArena()
{
    if (mp_block)
        Drop(mp_block);
}

void* LoadArena::Take(std::size_t i_bytes)
{
    std::size_t const l_bytes = RoundUp(i_bytes == 0 ? 1 : i_bytes, Alignment);
    // A large piece would waste most of a block; the heap serves it as well.
    if (l_bytes > BlockSize / 64)
        return nullptr;
    if (!mp_block || m_used + l_bytes > BlockSize)
    {
        Header* lp_block = NewBlock();
        if (!lp_block)
            return nullptr;
        if (mp_block)
            Drop(mp_block);
        mp_block = lp_block;
        m_used = RoundUp(sizeof(Header), Alignment);
    }
    void* lp_piece = reinterpret_cast<char*>(mp_block) + m_used;
    m_used += l_bytes;
    ++mp_block->m_holds;
    return lp_piece;
}

void LoadArena::Give(void* ip_piece, std::size_t i_bytes)
{
    // A piece is never cut twice, so a sanitizer build reports any later use of it.
    ASAN_POISON_MEMORY_REGION(ip_piece, RoundUp(i_bytes == 0 ? 1 : i_bytes, Alignment));
    // Blocks are aligned to their size, so a piece's address names its block.
    auto const l_address = reinterpret_cast<std::uintptr_t>(ip_piece);
    Drop(reinterpret_cast<Header*>(l_address & ~std::uintptr_t(BlockSize - 1)));
}

std::vector<LoadArena::Header*>& LoadArena::Kept()
{
    static auto* lp_kept = new std::vector<Header*>();
    return *lp_kept;
}

LoadArena::Header* LoadArena::NewBlock()
{
    Header* lp_block = nullptr;
    std::vector<Header*>& l_kept = Kept();
    if (!l_kept.empty())
    {
        lp_block = l_kept.back();
        l_kept.pop_back();
    }
    else
        lp_block = MapBlock();
    if (!lp_block)
        return nullptr;
    ASAN_UNPOISON_MEMORY_REGION(lp_block, BlockSize);
    lp_block->m_holds = 1;
    return lp_block;
}

LoadArena::Header* LoadArena::MapBlock()
{
    try
    {
        Kept().reserve(g_mapped + 1);
    }
    catch (std::bad_alloc const&)
    {
        return nullptr;
    }
    // Maps twice the size and unmaps around an aligned block of it.
    void* lp_mapped =
        ::mmap(nullptr, 2 * BlockSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (lp_mapped == MAP_FAILED)
        return nullptr;
    auto const l_start = reinterpret_cast<std::uintptr_t>(lp_mapped);
    std::uintptr_t const l_aligned = RoundUp(l_start, BlockSize);
    if (l_aligned > l_start)
        ::munmap(lp_mapped, l_aligned - l_start);
    std::size_t const l_tail = l_start + BlockSize - l_aligned;
    if (l_tail > 0)
        ::munmap(reinterpret_cast<void*>(l_aligned + BlockSize), l_tail);
    ++g_mapped;
    return reinterpret_cast<Header*>(l_aligned);
}

void LoadArena::Drop(Header* ip_block)
{
    if (--ip_block->m_holds != 0)
        return;
    // A later load finds the pages cleared or as they were, either of which does.
    ::madvise(ip_block, BlockSize, MADV_FREE);
    // A sanitizer build reports any use of a piece of a kept block.
    ASAN_POISON_MEMORY_REGION(ip_block, BlockSize);
    Kept().push_back(ip_block);
}
