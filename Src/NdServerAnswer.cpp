#include "NdServerAnswer.h"

#include "NdCore/NdCommHelper.h"

#include <json/json.h>

#include <sstream>

namespace {

// Comment-tolerant parse; false for anything that is not one complete JSON object.
bool ParseJsonObject(const QString& text, Json::Value& root)
{
    return NdCommHelper::ParseJson(text.toUtf8(), root) && root.isObject();
}

// The longest leading decimal number of a text, read the way atof reads it but
// independent of the process locale; 0 when there is none.
double LeadingNumber(const std::string& text)
{
    std::istringstream stream(text);
    stream.imbue(std::locale::classic());
    double value = 0.0;
    stream >> value;
    return stream.fail() ? 0.0 : value;
}

// "size" comes as text or as a number; anything else is an answer of the wrong shape.
float SizeMember(const Json::Value& size)
{
    if (size.isNumeric())
        return static_cast<float>(size.asDouble());
    if (size.isString())
        return static_cast<float>(LeadingNumber(size.asString()));
    if (size.isNull())
        return 0.0f;
    throw Json::LogicError("size is neither text nor a number");
}

std::string CleanVideoName(const std::string& fileName)
{
    QString name = NdCommHelper::FromUtf8(fileName);
    for (const QChar forbidden : QStringLiteral("?|:\"<\\/"))
        name.remove(forbidden);
    return NdCommHelper::ToUtf8(name);
}

// Throws Json::Exception on members of the wrong type.
bool ReadTokenAnswerRoot(const Json::Value& root, NdTokenAnswer_t& answer)
{
    if (root["code"].asInt() != 0)
        return false;
    const Json::Value& data = root["data"];
    const Json::Value& items = data["download_data"];
    const Json::Value& user = data["user_info"];
    if (!items.isNull() && !items.isArray())
        return false;
    answer.AppId = user["app_id"].asString();
    answer.UserId = user["user_id"].asString();
    for (const Json::Value& item : items) {
        if (!item.isObject())
            return false;
        DownloadTaskParam_t task;
        task.VideoFileSize = SizeMember(item["size"]);
        task.VideoDuration = item["duration"].asInt();
        task.VideoName = CleanVideoName(item["file_name"].asString());
        task.VideoM3U8Url = item["url"].asString();
        task.AppId = answer.AppId;
        task.UserId = answer.UserId;
        answer.Tasks.push_back(task);
    }
    return true;
}

// Throws Json::Exception on members of the wrong type.
bool ReadVersionAnswerRoot(const Json::Value& root, NdSoftVersion_t& version)
{
    if (root["code"].asInt() != 0)
        return false;
    const Json::Value& data = root["data"];
    version.Version = data["version"].asString();
    version.Msg = data["msg"].asString();
    version.DownloadUrl = data["download_url"].asString();
    version.MustUpdate = data["must_update"].asInt() != 0;
    return true;
}

} // namespace

bool NdServerAnswer::ReadTokenAnswer(const QString& text, NdTokenAnswer_t& answer)
{
    Json::Value root;
    try {
        return ParseJsonObject(text, root) && ReadTokenAnswerRoot(root, answer);
    } catch (const Json::Exception&) {
        return false;
    }
}

bool NdServerAnswer::ReadVersionAnswer(const QString& text, NdSoftVersion_t& version)
{
    Json::Value root;
    NdSoftVersion_t offered;
    try {
        if (!ParseJsonObject(text, root) || !ReadVersionAnswerRoot(root, offered))
            return false;
    } catch (const Json::Exception&) {
        // An answer of the wrong shape offers no update.
        return false;
    }
    version = offered;
    return true;
}
