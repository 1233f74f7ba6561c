#ifndef ZX2LFQUEUE_H
#define ZX2LFQUEUE_H

#include <QByteArray>
#include <QtGlobal>

#include <atomic>

// An unbounded lock-free queue of linked nodes for many producers and one
// consumer at a time. Producers never wait for each other or for the consumer.
//
// Head is a sentinel whose successor holds the oldest element; tail is the
// newest node. A producer swaps itself in as the tail with one atomic exchange
// and then links the previous tail to it. Only that producer ever touches the
// previous tail afterwards, and it does so by the link that the consumer waits
// for, so the consumer may free a sentinel as soon as its successor is linked:
// no node is used after it is freed and none is kept longer than needed.
// While a producer sits between its exchange and its link, the elements behind
// it are not yet visible to dequeue(); they become visible with the link.
template <typename T>
class ZX2LFQueue
{
public:
    ZX2LFQueue()
    {
        Node *sentinel = new Node;
        m_head.store(sentinel);
        m_tail.store(sentinel);
    }

    // No producer or consumer may still be running.
    ~ZX2LFQueue()
    {
        Node *node = m_head.load();
        while (node) {
            Node *next = node->next.load();
            delete node;
            node = next;
        }
    }

    // Any thread, any number at once.
    void enqueue(const T &value)
    {
        Node *node = new Node;
        node->value = value;
        Node *previous = m_tail.exchange(node, std::memory_order_acq_rel);
        previous->next.store(node, std::memory_order_release);
        m_count.fetch_add(1);
    }

    // One consumer at a time. False when no element is visible.
    bool dequeue(T &value)
    {
        Node *sentinel = m_head.load(std::memory_order_relaxed);
        Node *next = sentinel->next.load(std::memory_order_acquire);
        if (!next)
            return false;
        value = std::move(next->value);
        next->value = T();
        m_head.store(next, std::memory_order_relaxed);
        delete sentinel;
        m_count.fetch_sub(1);
        return true;
    }

    // Elements enqueued and not yet dequeued; an element being linked right
    // now may already be counted before dequeue() sees it, or the reverse.
    int count() const { return m_count.load(); }
    bool isEmpty() const { return count() <= 0; }

private:
    struct Node
    {
        T value;
        std::atomic<Node *> next{nullptr};
    };

    std::atomic<Node *> m_head{nullptr};
    std::atomic<Node *> m_tail{nullptr};
    std::atomic<int> m_count{0};

    Q_DISABLE_COPY(ZX2LFQueue)
};

// The logger's instantiation is compiled once, in zx2lfqueue.cpp.
extern template class ZX2LFQueue<QByteArray>;

#endif // ZX2LFQUEUE_H
