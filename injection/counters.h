// The counts a rule keeps while checks run, which checks of different
// requests may add to at the same time (under keyed draws they run side by
// side). Each is copied only while a set is built.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// A count whose every addition is seen by the next: after and count read it.
class rule_counter {
public:
    rule_counter() = default;
    rule_counter(const rule_counter &other) : value_(other.value_.load()) {}
    rule_counter &operator=(const rule_counter &other)
    {
        value_ = other.value_.load();
        return *this;
    }
    operator uint64_t() const { return value_.load(); }
    // The count with this one added.
    uint64_t add() { return ++value_; }
    // Adds one unless the count is at limit already.
    bool add_below(uint64_t limit)
    {
        uint64_t now = value_.load();
        while (now < limit)
            if (value_.compare_exchange_weak(now, now + 1))
                return true;
        return false;
    }

private:
    std::atomic<uint64_t> value_{0};
};

// A count that is only read when no check runs (a status, a reload): every
// check adds to it, so each thread adds to a line of its own rather than
// all of them fighting over one.
class spread_counter {
public:
    spread_counter() = default;
    spread_counter(const spread_counter &other) { *this = other; }
    spread_counter &operator=(const spread_counter &other)
    {
        for (std::size_t i = 0; i < STRIPES; ++i)
            stripes_[i].value.store(other.stripes_[i].value.load(std::memory_order_relaxed),
                                    std::memory_order_relaxed);
        return *this;
    }
    operator uint64_t() const
    {
        uint64_t sum = 0;
        for (const stripe &s : stripes_)
            sum += s.value.load(std::memory_order_relaxed);
        return sum;
    }
    // mine: the calling thread's stripe, from own_stripe(), asked for once per check.
    void add(std::size_t mine) { stripes_[mine].value.fetch_add(1, std::memory_order_relaxed); }

    static std::size_t own_stripe()
    {
        static std::atomic<std::size_t> threads{0};
        thread_local const std::size_t mine = threads.fetch_add(1) % STRIPES;
        return mine;
    }

private:
    static constexpr std::size_t STRIPES = 8;
    struct alignas(64) stripe {
        std::atomic<uint64_t> value{0};
    };

    stripe stripes_[STRIPES];
};

// How many checks visited a rule: every walk of a set's rules reaches each
// of them unless it ends early (a cut, memory running out), so a rule
// counts the walks that passed it by, and its visits are the set's walks
// less those. Read only when no check runs, as a spread counter is.
class visit_counter {
public:
    void count_from(const spread_counter &walks) { walks_ = &walks; }
    void pass_by() { passed_by_.add(); }
    operator uint64_t() const
    {
        return (walks_ != nullptr ? static_cast<uint64_t>(*walks_) : 0) - passed_by_;
    }

private:
    const spread_counter *walks_ = nullptr;
    rule_counter passed_by_;
};

// A flag that one check takes: set by an order, cleared by the check that
// acts on it.
class rule_flag {
public:
    rule_flag() = default;
    rule_flag(const rule_flag &other) : set_(other.set_.load()) {}
    rule_flag &operator=(const rule_flag &other)
    {
        set_ = other.set_.load();
        return *this;
    }
    operator bool() const { return set_.load(); }
    void raise() { set_ = true; }
    bool take() { return set_.exchange(false); }

private:
    std::atomic<bool> set_{false};
};
