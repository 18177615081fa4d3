#include "snapshot.h"

#include <json/json.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "json_text.h"

namespace vornengine {

namespace {

Json::Value stringList(const std::vector<std::string> &items) {
    Json::Value list(Json::arrayValue);
    for (const std::string &item : items) {
        list.append(item);
    }
    return list;
}

std::vector<std::string> stringsOf(const Json::Value &list) {
    std::vector<std::string> items;
    for (const Json::Value &item : list) {
        items.push_back(item.asString());
    }
    return items;
}

Status decodeUnchecked(const std::string &text, Snapshot &snapshot) {
    Json::Value json;
    if (!parseJsonText(text, json) || !json.isObject() ||
        !ObjectId::parse(json["tree"].asString(), snapshot.tree)) {
        return Status::integrity("malformed snapshot record");
    }
    snapshot.timeNs = json["time_ns"].asInt64();
    snapshot.hostname = json["hostname"].asString();
    snapshot.username = json["username"].asString();
    snapshot.paths = stringsOf(json["paths"]);
    snapshot.tags = stringsOf(json["tags"]);
    ObjectId::parse(json["parent"].asString(), snapshot.parent);
    const Json::Value &summary = json["summary"];
    BackupSummary &s = snapshot.summary;
    s.filesNew = summary["files_new"].asInt64();
    s.filesChanged = summary["files_changed"].asInt64();
    s.filesUnchanged = summary["files_unchanged"].asInt64();
    s.dirs = summary["dirs"].asInt64();
    s.others = summary["others"].asInt64();
    s.bytesRead = summary["bytes_read"].asInt64();
    s.bytesAdded = summary["bytes_added"].asInt64();
    s.blobsAdded = summary["blobs_added"].asInt64();
    s.problems = summary["problems"].asInt64();
    s.seconds = summary["seconds"].asDouble();
    return Status::ok();
}

} // namespace

std::string encodeSnapshot(const Snapshot &snapshot) {
    Json::Value json(Json::objectValue);
    json["time"] = rfc3339(snapshot.timeNs);
    json["time_ns"] = Json::Int64(snapshot.timeNs);
    json["hostname"] = snapshot.hostname;
    json["username"] = snapshot.username;
    json["paths"] = stringList(snapshot.paths);
    json["tags"] = stringList(snapshot.tags);
    json["tree"] = snapshot.tree.hex();
    if (!snapshot.parent.isNull()) {
        json["parent"] = snapshot.parent.hex();
    }
    const BackupSummary &s = snapshot.summary;
    Json::Value &summary = json["summary"];
    summary["files_new"] = Json::Int64(s.filesNew);
    summary["files_changed"] = Json::Int64(s.filesChanged);
    summary["files_unchanged"] = Json::Int64(s.filesUnchanged);
    summary["dirs"] = Json::Int64(s.dirs);
    summary["others"] = Json::Int64(s.others);
    summary["bytes_read"] = Json::Int64(s.bytesRead);
    summary["bytes_added"] = Json::Int64(s.bytesAdded);
    summary["blobs_added"] = Json::Int64(s.blobsAdded);
    summary["problems"] = Json::Int64(s.problems);
    summary["seconds"] = s.seconds;
    return jsonText(json);
}

Status decodeSnapshot(const std::string &text, Snapshot &snapshot) {
    try {
        return decodeUnchecked(text, snapshot);
    } catch (const Json::Exception &) {
        return Status::integrity("malformed snapshot record");
    }
}

std::string rfc3339(int64_t timeNs) {
    const time_t seconds = static_cast<time_t>(timeNs / 1000000000);
    struct tm local;
    localtime_r(&seconds, &local);
    char date[32], zone[8], text[64];
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    strftime(zone, sizeof zone, "%z", &local); // +hhmm
    snprintf(text, sizeof text, "%s.%09lld%.3s:%.2s", date,
             static_cast<long long>(timeNs % 1000000000), zone, zone + 3);
    return text;
}

Status findSnapshot(const std::vector<Snapshot> &snapshots, const std::string &ref,
                    Snapshot &found) {
    if (ref == "latest") {
        if (snapshots.empty()) {
            return Status::notFound("the target holds no snapshot yet");
        }
        std::vector<Snapshot> sorted = snapshots;
        sortNewestFirst(sorted);
        found = sorted.front();
        return Status::ok();
    }
    int matches = 0;
    for (const Snapshot &snapshot : snapshots) {
        if (!ref.empty() && snapshot.id.hex().compare(0, ref.size(), ref) == 0) {
            found = snapshot;
            ++matches;
        }
    }
    if (matches == 0) {
        return Status::notFound("no snapshot " + ref);
    }
    if (matches > 1) {
        return Status::usage("snapshot id " + ref + " is ambiguous: give more of it");
    }
    return Status::ok();
}

void sortNewestFirst(std::vector<Snapshot> &snapshots) {
    std::sort(snapshots.begin(), snapshots.end(), [](const Snapshot &a, const Snapshot &b) {
        return a.timeNs != b.timeNs ? a.timeNs > b.timeNs : a.id < b.id;
    });
}

} // namespace vornengine
