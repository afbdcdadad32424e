#include "control/message.hpp"

#include <nlohmann/json.hpp>

using json = nlohmann::json;

namespace {

std::string line_of(const json& j)
{
    return j.dump(-1, ' ', false, json::error_handler_t::replace) + "\n";
}

// The object of a line, or why not. Depth and size are bounded by the line length already.
bool object_of(const std::string& line, json* j, std::string* why)
{
    *j = json::parse(line, nullptr, false);
    if (j->is_discarded() || !j->is_object()) {
        *why = "not a JSON object";
        return false;
    }
    return true;
}

bool string_at(const json& j, const char* key, std::string* out)
{
    const auto it = j.find(key);
    if (it == j.end() || !it->is_string())
        return false;
    *out = it->get<std::string>();
    return true;
}

}  // namespace

std::string ctl_record_line(const CtlRecord& r)
{
    json j;
    switch (r.kind) {
    case CTL_OUT:
        j["out"] = r.text;
        break;
    case CTL_ERR:
        j["err"] = r.text;
        break;
    case CTL_ASK:
        j["ask"] = r.text;
        break;
    case CTL_PROGRESS:
        j["progress"] = {{"name", r.progress.name},
                         {"done", r.progress.done},
                         {"size", r.progress.size},
                         {"speed", r.progress.speed},
                         {"eta", r.progress.eta}};
        break;
    default:
        j["exit"] = r.status;
        break;
    }
    return line_of(j);
}

std::string ctl_request_line(const CtlRequest& r)
{
    return line_of(json{{"argv", r.argv}, {"cwd", r.cwd}, {"progress", r.progress}});
}

std::string ctl_answer_line(bool yes)
{
    return line_of(json{{"answer", yes}});
}

std::string ctl_stop_line()
{
    return line_of(json{{"stop", true}});
}

bool ctl_record_parse(const std::string& line, CtlRecord* r, std::string* why)
{
    json j;
    if (!object_of(line, &j, why))
        return false;
    *r = CtlRecord{};
    if (string_at(j, "out", &r->text)) {
        r->kind = CTL_OUT;
    } else if (string_at(j, "err", &r->text)) {
        r->kind = CTL_ERR;
    } else if (string_at(j, "ask", &r->text)) {
        r->kind = CTL_ASK;
    } else if (const auto e = j.find("exit"); e != j.end() && e->is_number_integer()) {
        r->kind = CTL_EXIT;
        r->status = e->get<int>();
    } else if (const auto p = j.find("progress"); p != j.end() && p->is_object()) {
        r->kind = CTL_PROGRESS;
        const json& q = *p;
        if (!string_at(q, "name", &r->progress.name) || !q.value("done", json()).is_number_unsigned() ||
            !q.value("size", json()).is_number_unsigned() || !q.value("speed", json()).is_number() ||
            !q.value("eta", json()).is_number_integer()) {
            *why = "a progress record without its fields";
            return false;
        }
        r->progress.done = q["done"].get<uint64_t>();
        r->progress.size = q["size"].get<uint64_t>();
        r->progress.speed = q["speed"].get<double>();
        r->progress.eta = q["eta"].get<int64_t>();
    } else {
        *why = "no out, err, ask, progress or exit";
        return false;
    }
    return true;
}

bool ctl_request_parse(const std::string& line, CtlRequest* r, std::string* why)
{
    json j;
    if (!object_of(line, &j, why))
        return false;
    *r = CtlRequest{};
    const auto argv = j.find("argv");
    if (argv == j.end() || !argv->is_array() || argv->empty() || !string_at(j, "cwd", &r->cwd)) {
        *why = "a request needs argv (the command) and cwd";
        return false;
    }
    for (const json& a : *argv) {
        if (!a.is_string()) {
            *why = "argv holds something that is not a string";
            return false;
        }
        r->argv.push_back(a.get<std::string>());
    }
    const auto p = j.find("progress");
    r->progress = p != j.end() && p->is_boolean() && p->get<bool>();
    return true;
}

bool ctl_reply_parse(const std::string& line, bool* stop, bool* yes, std::string* why)
{
    json j;
    if (!object_of(line, &j, why))
        return false;
    const auto s = j.find("stop");
    *stop = s != j.end() && s->is_boolean() && s->get<bool>();
    const auto a = j.find("answer");
    if (!*stop && (a == j.end() || !a->is_boolean())) {
        *why = "a reply needs answer: true or false, or stop: true";
        return false;
    }
    *yes = !*stop && a->get<bool>();
    return true;
}
