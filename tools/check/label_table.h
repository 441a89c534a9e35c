// The checker's labels by name, as jumps compare names: the cut name, letter
// case aside. Open addressing over a dense array of entries, so that a look-up
// costs about two cache misses however many labels a script has.
#pragma once

#include <cstdint>
#include <cstring>
#include <deque>
#include <vector>

#include "run/text.h"
#include "script/labels.h"

// Lines in 32 bits, as in the graph: a file of 4 G lines is no script.
struct LabelInfo {
    uint32_t Winner = 0;      // line of the last definition, where every jump goes; 0: none
    uint32_t BlankEnded = 0;  // line of a label that is this name with blanks after it
    uint32_t Node = 0;        // the first node of the graph after the last definition
};

// A name as a key: cut as the run cuts it, in capitals, with its length and
// its hash (FNV-1a), made in one go.
struct LabelKey {
    char Text[LABEL_MAX + 1];
    size_t Length;
    uint32_t Hash;
    explicit LabelKey(const char* name)
    {
        CutLabelName(name, Text);
        uint32_t h = 2166136261u;
        size_t n = 0;
        for (; Text[n] != '\0'; n++) {
            Text[n] = ToUpper(Text[n]);
            h = (h ^ static_cast<unsigned char>(Text[n])) * 16777619u;
        }
        Length = n;
        Hash = h;
    }
};

class LabelTable {
public:
    // Room for n entries and keys of that many bytes, so that a run of
    // look-ups can ask for their slots ahead (Prefetch) and find them still
    // there, and the keys are not copied as they grow.
    void Reserve(size_t n, size_t keyBytes)
    {
        Keys.reserve(keyBytes);
        while ((n + 1) * 4 > Slots.size() * 3) {
            Grow();
        }
    }

    // Where a look-up of hash begins, and the entry that slot names (null for
    // none), for asking the cache ahead: a look-up costs cache misses, which a
    // run of look-ups can overlap. The table must not be empty.
    const void* SlotOf(uint32_t hash) const { return Slots.data() + (hash & (Slots.size() - 1)); }
    const void* EntryOf(uint32_t hash) const
    {
        const Slot& slot = Slots[hash & (Slots.size() - 1)];
        return slot.Index != 0 ? &Entries[slot.Index - 1] : nullptr;
    }

    // The entry for key, or null: a LabelKey, or the text of one already made.
    LabelInfo* Find(const LabelKey& key) { return Find(key.Text, key.Hash); }
    LabelInfo* Find(const char* key, uint32_t hash)
    {
        if (Slots.empty()) {
            return nullptr;
        }
        for (size_t i = hash & (Slots.size() - 1);; i = (i + 1) & (Slots.size() - 1)) {
            const Slot& slot = Slots[i];
            if (slot.Index == 0) {
                return nullptr;
            }
            Entry& entry = Entries[slot.Index - 1];
            if (slot.Hash == hash && strcmp(&Keys[entry.Key], key) == 0) {
                return &entry.Info;
            }
        }
    }

    // The entry for key, made when there is none.
    LabelInfo& Get(const LabelKey& key) { return Get(key.Text, key.Hash); }
    LabelInfo& Get(const char* key, uint32_t hash)
    {
        LabelInfo* found = Find(key, hash);
        if (found != nullptr) {
            return *found;
        }
        // Filled up to three quarters: a small table stays in the cache.
        if ((Entries.size() + 1) * 4 > Slots.size() * 3) {
            Grow();
        }
        Entries.emplace_back();
        Entry& entry = Entries.back();
        entry.Key = static_cast<uint32_t>(Keys.size());
        const size_t n = strlen(key) + 1;
        Keys.resize(Keys.size() + n);
        memcpy(&Keys[entry.Key], key, n);
        Place(hash, static_cast<uint32_t>(Entries.size()));
        return entry.Info;
    }

private:
    struct Entry {
        uint32_t Key = 0;  // where its key starts in Keys
        LabelInfo Info;
    };
    struct Slot {
        uint32_t Hash;
        uint32_t Index;  // in Entries, from 1; 0 is a free slot
    };

    void Place(uint32_t hash, uint32_t index)
    {
        size_t i = hash & (Slots.size() - 1);
        while (Slots[i].Index != 0) {
            i = (i + 1) & (Slots.size() - 1);
        }
        Slots[i] = Slot{hash, index};
    }

    void Grow()
    {
        std::vector<Slot> old;
        old.swap(Slots);
        Slots.assign(old.empty() ? 1024 : old.size() * 2, Slot{0, 0});
        for (const Slot& slot : old) {
            if (slot.Index != 0) {
                Place(slot.Hash, slot.Index);
            }
        }
    }

    std::deque<Entry> Entries;  // never moved, so memory grows by the label
    std::vector<char> Keys;     // each key as long as it is, and its terminator
    std::vector<Slot> Slots;
};
