#pragma once

#include <cstddef>
#include <vector>

// Memory for the many small pieces that one data-file load makes (items, their connection tables
// and small sets), cut from large blocks instead of one heap allocation each. A block counts its
// pieces and is freed once every piece is given back and no arena is cutting from it any more, so
// that pieces may outlive the arena and be given back one by one, in any order. A freed block is
// kept for the next load rather than unmapped, since the system clears every fresh page it maps;
// a block is mapped only when none is kept, so the blocks never outnumber those once in use at the
// same time, and a kept block's pages are marked free for the system to take back when it needs
// them. The store lives on one thread, and so do its arenas.
class LoadArena
{
public:
    LoadArena() = default;
    LoadArena(LoadArena const&) = delete;
    LoadArena& operator=(LoadArena const&) = delete;
    ~LoadArena();

    // Room for i_bytes, aligned for the store's pieces (pointers and 64-bit numbers); null when the
    // piece is too large for a block or no block can be had, and the caller takes it from the heap.
    void* Take(std::size_t i_bytes);
    // Gives back a piece that Take returned for i_bytes.
    static void Give(void* ip_piece, std::size_t i_bytes);
    // Blocks that hold pieces or are being cut from.
    static std::size_t BlocksInUse() { return g_mapped - Kept().size(); }

private:
    // Large enough that a load maps few blocks. Not marked for huge pages: the system may stop
    // to compact memory for each, which made the first load of a process, the one at start-up,
    // slower by half.
    static constexpr std::size_t BlockSize = std::size_t(2) * 1024 * 1024;
    static constexpr std::size_t Alignment = 8;

    struct Header
    {
        // Pieces not given back, plus one while an arena cuts from the block.
        std::size_t m_holds;
    };

    static Header* NewBlock();
    static Header* MapBlock();
    static void Drop(Header* ip_block);

    // The kept blocks, whose pages the system may have taken back, headers included. Never
    // destroyed, since the store gives back its last pieces as the program ends.
    static std::vector<Header*>& Kept();
    // Blocks mapped so far, for which Kept() always has room, so that giving back never
    // allocates.
    static inline std::size_t g_mapped = 0;

    Header* mp_block = nullptr;
    std::size_t m_used = 0;
};
