#include "foundation/llist.hpp"

#include <new>

void jx_list_init(jx_list* list, jx_destroy_fn destroy)
{
    list->size = 0;
    list->destroy = destroy;
    list->head = nullptr;
    list->tail = nullptr;
}

int jx_list_ins_next(jx_list* list, jx_list_elmt* element, const void* data)
{
    auto* node = new (std::nothrow) jx_list_elmt{};
    if (node == nullptr)
        return -1;
    // The list never writes through its data pointers; const is only a promise to the caller.
    node->data = const_cast<void*>(data);

    if (element == nullptr) {
        if (list->size == 0)
            list->tail = node;
        node->next = list->head;
        list->head = node;
    } else {
        if (element->next == nullptr)
            list->tail = node;
        node->next = element->next;
        element->next = node;
    }
    list->size++;
    return 0;
}

int jx_list_rem_next(jx_list* list, jx_list_elmt* element, void** data)
{
    if (list->size == 0)
        return -1;

    jx_list_elmt* old = nullptr;
    if (element == nullptr) {
        old = list->head;
        list->head = old->next;
        if (list->size == 1)
            list->tail = nullptr;
    } else {
        if (element->next == nullptr)
            return -1;
        old = element->next;
        element->next = old->next;
        if (element->next == nullptr)
            list->tail = element;
    }
    *data = old->data;
    delete old;
    list->size--;
    return 0;
}

void jx_list_destroy(jx_list* list)
{
    void* data = nullptr;
    while (list->size > 0) {
        if (jx_list_rem_next(list, nullptr, &data) == 0 && list->destroy != nullptr)
            list->destroy(data);
    }
    list->size = 0;
    list->match = nullptr;
    list->destroy = nullptr;
    list->head = nullptr;
    list->tail = nullptr;
}
