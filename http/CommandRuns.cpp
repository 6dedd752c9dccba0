// Commands handed to the workers: the body taken out, parsed (where it
// arrived when small), run under the request's context, its client watched
// and the command cancelled when it goes, its answer encoded and sent back
// to the loop.
#include "http/ServerParts.h"

#include <exception>
#include <string_view>

#include "base/CBase64.h"
#include "base/ErrorMessage.h"
#include "base/RequestContext.h"
#include "base/TextHelpers.h"
#include "commands/Envelope.h"
#include "commands/ProcessRequest.h"
#include "http/DocumentText.h"
#include "http/XmlLimits.h"
#include "platform/CodePage.h"

namespace zk::http::server {

// The client went away while its command runs: drop the connection now (the
// answer is never written to a freed request).
void WatchClient(evutil_socket_t fd, short what, void* arg) {
    auto* job = static_cast<Job*>(arg);
    if ((what & EV_CLOSED) || net::PeerGone(fd)) {
        ZLOG("_http_cb", "Client closed the connection while its command ran; the answer is dropped");
        job->cancelled = true;
        job->req = nullptr;
        evhttp_connection* evcon = job->evcon;
        Listener* l = job->listener;
        auto it = l->inflight.find(evcon);
        std::shared_ptr<Job> keep = it != l->inflight.end() ? it->second : nullptr;  // outlives ForgetJob
        ForgetJob(*job);
        evhttp_connection_free(evcon);
        return;
    }
    // Pipelined bytes wait in the socket: from now on watch only for the hang-up.
    event_del(job->watch);
    event_assign(job->watch, job->listener->base, fd, EV_CLOSED | EV_PERSIST, WatchClient, job);
    event_add(job->watch, nullptr);
}

void StartWatching(evutil_socket_t, short, void* arg) {
    auto* job = static_cast<Job*>(arg);
    int fd = bufferevent_getfd(evhttp_connection_get_bufferevent(job->evcon));
    event_assign(job->watch, job->listener->base, fd, EV_READ | EV_CLOSED | EV_PERSIST, WatchClient, job);
    event_add(job->watch, nullptr);
}


bool HeldForTests(uint64_t bodySize) {
    const CommandHold& hold = TheServer().hold;
    return hold.delayMs > 0 && bodySize >= hold.fromBytes;
}

void PauseForTests(const Job& job) {
    const CommandHold& hold = TheServer().hold;
    ZLOG("_http_cb", "Command held for %ld ms (test setting)", hold.delayMs);
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(hold.delayMs);
    while ((hold.stuck || !job.cancelled) && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

// A document left out of a logged text, shown where its marker is by the
// Base64 of its beginning (of which available bytes are at beginning) and
// counted as its whole Base64.
std::string RedactAroundBytes(const tinyxml2::XMLDocument& doc, const log::LogRules& rules, std::string_view marker,
                              const void* beginning, size_t available, size_t size) {
    const std::string shown = Base64Encode(beginning, std::min(available, kLoggedBytes));
    return log::RedactDocument(doc, rules, kLoggedDocument, {marker, shown, Base64EncodedLength(size)});
}

// The answer is parsed again for the log, so that its masks follow its
// structure like the request's do. An answer's document left to the front
// end is shown by the Base64 of its beginning.
void LogAnswer(const std::string& answer, const log::LogRules& rules, const char* native,
               const RequestDocuments::Attached* attached) {
    tinyxml2::XMLDocument doc(true, tinyxml2::PRESERVE_WHITESPACE);
    std::string shown;
    if (doc.Parse(answer.data(), answer.size()) != tinyxml2::XML_SUCCESS) {
        shown = "[" + std::to_string(answer.size()) + " bytes]";
    } else if (attached) {
        const std::vector<uint8_t> prefix = attached->bytes.Prefix(kLoggedBytes);
        shown = RedactAroundBytes(doc, rules, attached->marker, prefix.data(), prefix.size(), attached->bytes.size());
    } else {
        shown = log::RedactDocument(doc, rules, kLoggedDocument);
    }
    ZLOG("_http_cb", "%sOutput text:\r\n'%s'", native, shown.c_str());
}

// Parses a request whose document text lay between before and after, with
// a fresh marker text in its place (a document text holds no markup, so the
// structure is the same); asCame: the length of the text as it came, for
// the XML limits. The marker when the marker stands for the request's
// document: the parsed request holds it exactly as its Data text, the text
// does not end before it (after is cut where the text ends), and no larger
// Data text is the document instead. Else nothing, and doc is cleared.
std::optional<std::string> ParseAroundDocument(std::string_view before, std::string_view& after, size_t textLength,
                                               size_t asCame, tinyxml2::XMLDocument& doc) {
    std::string standIn = "~" + NewGuidText() + "~";
    std::string rest;
    rest.reserve(before.size() + standIn.size() + after.size());
    rest.append(before).append(standIn).append(after);
    const size_t length = DocumentLength(rest);
    bool parsed = false;
    if (length >= before.size() + standIn.size()) {
        after = after.substr(0, length - before.size() - standIn.size());
        rest.resize(length);
        parsed = !FindDocumentText(rest, textLength + 1) && WithinXmlLimits(rest, asCame) &&
                 doc.Parse(rest.data(), rest.size()) == tinyxml2::XML_SUCCESS;
    }
    SecureWipe(rest);
    const char* data = parsed ? RequestDataText(doc) : nullptr;
    if (data && standIn == data) return standIn;
    doc.Clear();
    return std::nullopt;
}

// Parses the request text. A large Data text stays out of the parsed request
// (a short marker text takes its place) and where it was received, so that neither
// the parser's copy nor the command's decoding copies it (RequestDocuments);
// the body memory then goes with the document. Otherwise the body goes as
// soon as the parser has its copy.
bool ParseRequest(std::shared_ptr<BodyMemory> body, std::string_view text, tinyxml2::XMLDocument& doc,
                  RequestDocuments& documents) {
    if (auto span = FindDocumentText(text, kDocumentFrom)) {
        std::string_view after = text.substr(span->end);
        if (auto standIn = ParseAroundDocument(text.substr(0, span->begin), after, span->size(), text.size(), doc)) {
            char* at = const_cast<char*>(text.data());  // the body's own memory
            at[span->end] = '\0';  // its end tag is in the parser's copy
            documents.text = at + span->begin;
            documents.length = span->size();
            documents.standIn = std::move(*standIn);
            documents.memory = std::move(body);
            return true;
        }
        // The scan was misled: the whole text, as always.
    }
    const bool parsed = WithinXmlLimits(text) && doc.Parse(text.data(), text.size()) == tinyxml2::XML_SUCCESS;
    body.reset();
    return parsed;
}

// The request with its document decoded as it arrived (ArrivingDocument):
// the parser gets the text around it with a marker in its place, as for a
// document found by the scan, and the command gets the bytes. Where the
// marker does not stand for the request's document, the text as it came is
// put back together in memory of its own and parsed the usual way.
bool ParseDecoded(std::shared_ptr<BodyMemory> body, std::string_view text, const ArrivingDocument::Span& document,
                  tinyxml2::XMLDocument& doc, RequestDocuments& documents) {
    const size_t asCame = text.size() - document.size + document.textLength;
    std::string_view after = text.substr(document.begin + document.size);
    if (auto standIn = ParseAroundDocument(text.substr(0, document.begin), after, document.textLength, asCame, doc)) {
        body->KeepOnly(static_cast<size_t>(after.data() + after.size() - body->data()));
        documents.text = text.data() + document.begin;
        documents.length = document.size;
        documents.decoded = true;
        documents.standIn = std::move(*standIn);
        documents.memory = std::move(body);
        return true;
    }
    auto whole = std::make_shared<BodyMemory>(asCame + 1);
    WriteTextAsItCame(text, document, whole->data());
    body.reset();
    const std::string_view wholeText(whole->data(), DocumentLength(std::string_view(whole->data(), asCame)));
    return ParseRequest(std::move(whole), wholeText, doc, documents);
}

void LogRequest(const tinyxml2::XMLDocument& doc, const log::LogRules& rules, const char* native,
                const RequestDocuments& documents) {
    std::string shown;
    if (documents.text && documents.decoded) {  // shown as it came
        shown = RedactAroundBytes(doc, rules, documents.standIn, documents.text, documents.length, documents.length);
    } else if (documents.text) {
        const std::string_view text(documents.text, documents.length);
        shown = log::RedactDocument(doc, rules, kLoggedDocument,
                                    {documents.standIn, text.substr(0, kLoggedDocument + 1), text.size()});
    } else {
        shown = log::RedactDocument(doc, rules, kLoggedDocument);
    }
    ZLOG("_http_cb", "%sInput text:\r\n'%s'", native, shown.c_str());
}

// The answer in the form the flags ask for: whole, or as a stream around the
// document the command left to the front end.
Answer EncodeFinal(std::string answer, RequestFlags flags, std::optional<RequestDocuments::Attached> attached) {
    Cp1251ToUtf8InPlace(answer);
    Answer out;
    const size_t at = attached ? answer.find(attached->marker) : std::string::npos;
    if (at == std::string::npos) {
        out.text = EncodeAnswer(std::move(answer), flags);
        return out;
    }
    std::string tail = answer.substr(at + attached->marker.size());
    answer.resize(at);
    out.stream = std::make_unique<AnswerStream>(std::move(answer), std::move(attached->bytes), std::move(tail), flags);
    return out;
}

// A document may be large: the body is unwrapped in its own memory, and the
// document is decoded there too, as it arrived or by the command that takes it.
// request: cleared, fresh or kept from an earlier one (its parser's memory
// is used again).
std::unique_ptr<ParsedRequest> ParseCommand(std::unique_ptr<ParsedRequest> request, std::shared_ptr<BodyMemory> body,
                                            size_t size, RequestFlags flags, std::optional<std::string_view> unwrapped,
                                            std::optional<ArrivingDocument::Span> document, RequestDocuments& documents) {
    request->flags = flags;
    std::string_view text = unwrapped ? *unwrapped : UnwrapBodyInPlace(body->data(), size);
    if (unwrapped && document) {
        request->parsed = ParseDecoded(std::move(body), text, *document, request->doc, documents);
    } else {
        text = text.substr(0, DocumentLength(text));
        // What the unwrapping decoded no longer needs the body's tail.
        body->KeepOnly(static_cast<size_t>(text.data() + text.size() - body->data()) + 1);
        request->parsed = ParseRequest(std::move(body), text, request->doc, documents);
    }
    if (log::IsOpen()) {
        request->logRules = LogRulesFor(request->parsed ? log::RequestCommand(request->doc) : "");
        if (request->parsed) LogRequest(request->doc, request->logRules, flags.native ? "(Native)" : "", documents);
    }
    return request;
}

// Runs the parsed request; the answer's document is encoded as it is sent.
Answer RunCommand(ParsedRequest& request, RequestDocuments& documents) {
    std::string answer;
    bool ok = false;
    if (!request.parsed)
        answer = BareErrorEnvelope(ZK_E_BAD_REQUEST_XML);
    else if (!(ok = ProcessRequestPOST(request.doc, answer)))
        answer = BareErrorEnvelope(ZK_E_BAD_REQUEST_PARAMS);
    request.answered = ok;
    request.doc.Clear();
    documents.memory.reset();  // the request's memory, unless the command took it
    documents.text = nullptr;
    std::optional<RequestDocuments::Attached> attached;
    if (ok) attached = std::move(documents.answer);
    documents.answer.reset();
    if (log::IsOpen())
        LogAnswer(answer, request.logRules, request.flags.native ? "(Native)" : "", attached ? &*attached : nullptr);
    return EncodeFinal(std::move(answer), request.flags, std::move(attached));
}

// Runs a stage of a request: its answer, or none when the stage leaves the
// request to a later one. Whatever fails (memory for a large body, say) is
// answered with the bare code 56 and logged; the service goes on.
template <class Stage>
std::optional<Answer> Safely(RequestFlags flags, RequestDocuments& documents, Stage&& stage) {
    try {
        return stage();
    } catch (const std::exception& e) {
        ZLOG("_http_cb", "Request failed: %s", e.what());
    } catch (...) {
        ZLOG("_http_cb", "Request failed");
    }
    documents.memory.reset();
    documents.answer.reset();
    try {
        return EncodeFinal(BareErrorEnvelope(ZK_E_BAD_REQUEST_PARAMS), flags, std::nullopt);
    } catch (...) {
        return Answer{};
    }
}

RequestFlags FlagsOf(Job& job) {
    if (!job.flags) job.flags = ReadFlags(std::string_view(job.body->data(), job.bodySize));
    return *job.flags;
}

// The request's share of the memory budget goes with its answer, sized to
// what the answer keeps until its reader has it. A request that found no
// room on its way, or whose answer finds none, is answered 503.
void SettleAnswerMemory(Answer& answer, RequestWork& work) {
    const uint64_t held = answer.stream                          ? answer.stream->HeldBytes()
                          : answer.text.size() >= kCountedAnswer ? answer.text.size()
                                                                 : 0;
    if (!work.busy && work.memory.Resize(held)) {
        answer.memory = std::move(work.memory);
        return;
    }
    ZLOG("_http_cb", "No room in the memory budget (MaxBodiesInFlight) for the answer: 503");
    SecureWipe(answer.text);
    answer = Answer{};
    answer.busy = true;
}

void RunJob(const std::shared_ptr<Job>& job) {
    if (HeldForTests(job->bodySize)) PauseForTests(*job);
    if (!job->cancelled) {
        RequestDocuments documents;
        RequestWork work;
        RequestContext context{job->pageOrigin, &job->cancelled, &documents, &work};
        ScopedRequest current(context);
        const RequestFlags flags = FlagsOf(*job);
        job->answer = *Safely(flags, documents, [&]() -> std::optional<Answer> {
            if (!job->parsed)
                job->parsed = ParseCommand(std::make_unique<ParsedRequest>(), std::move(job->body), job->bodySize, flags,
                                           job->text, job->document, documents);
            return RunCommand(*job->parsed, documents);
        });
        SettleAnswerMemory(job->answer, work);
    }
    job->body.reset();  // a cancelled command's body was never taken
    job->parsed.reset();
    job->GiveBackBody();
    Listener& l = *job->listener;
    {
        std::lock_guard lock(l.finishedLock);
        l.finished.push_back(job);
    }
    // One wake-up of the loop takes every answer queued until it runs.
    if (!l.answersSignalled.exchange(true)) event_active(l.answers, EV_READ, 0);
}


// A small request is parsed where it arrives; one for a command that answers
// at once is run here too, which spares it the hand-over to a worker and
// back (two thread wake-ups, more than such a command costs). false: the
// parsed request goes on to a worker. The loop thread parses every such
// request into the same parser, whose memory is kept between them.
bool AnswerAtOnce(Job& job) {
    Listener& l = *job.listener;
    RequestDocuments documents;
    RequestContext context{job.pageOrigin, &job.cancelled, &documents};
    ScopedRequest current(context);
    const RequestFlags flags = FlagsOf(job);
    // The raw body, for a command whose answer never changes: it is unwrapped in place below.
    const bool rawKept = job.body && !job.text;
    if (rawKept) l.smallBody.assign(job.body->data(), job.bodySize);
    Runs runs = Runs::OnWorker;
    std::optional<Answer> answer = Safely(flags, documents, [&]() -> std::optional<Answer> {
        job.parsed = ParseCommand(l.spareRequest ? std::move(l.spareRequest) : std::make_unique<ParsedRequest>(),
                                  std::move(job.body), job.bodySize, flags, job.text, job.document, documents);
        if (job.parsed->parsed && (runs = RunsWhere(job.parsed->doc)) == Runs::OnWorker) return std::nullopt;
        return RunCommand(*job.parsed, documents);
    });
    if (rawKept && answer && runs == Runs::AtOnceSame && job.parsed && job.parsed->answered && !answer->stream)
        l.sameAnswer = SameAnswer{SecretString(l.smallBody), answer->text};
    SecureWipe(l.smallBody);
    if (!answer) return false;
    job.answer = std::move(*answer);
    if (job.parsed) {
        job.parsed->Clear();
        l.spareRequest = std::move(job.parsed);
    }
    return true;
}

// A page asks again, in the very bytes of the request that last had the
// answer that never changes: it gets that answer without a parse. Not while
// the log is open, which shows every request and answer.
bool AnswerAsBefore(Job& job) {
    const SameAnswer& same = job.listener->sameAnswer;
    if (same.answer.empty() || !job.body || job.text || log::IsOpen() ||
        std::string_view(job.body->data(), job.bodySize) != same.body.str())
        return false;
    job.answer.text = same.answer;
    return true;
}

namespace {

// Taken out chain by chain, each drained once copied, into room reserved
// but not yet touched; the drained chains' memory goes back to the system
// as the copy proceeds: a large body is not held twice. false without memory.
bool TakeBody(evbuffer* in, Job& job) {
    try {
        job.body = std::make_shared<BodyMemory>(evbuffer_get_length(in) + 1);  // room for a terminating zero
    } catch (const std::bad_alloc&) {
        return false;
    }
    size_t sinceReturned = 0;
    for (evbuffer_iovec chain; evbuffer_peek(in, -1, nullptr, &chain, 1) > 0 && chain.iov_len > 0;) {
        std::memcpy(job.body->data() + job.bodySize, chain.iov_base, chain.iov_len);
        job.bodySize += chain.iov_len;
        evbuffer_drain(in, chain.iov_len);
        if ((sinceReturned += chain.iov_len) >= kReturnMemoryEvery) {
            ReturnFreeMemory();
            sinceReturned = 0;
        }
    }
    job.body->KeepOnly(job.bodySize);
    if (job.bodySize >= kReturnMemoryEvery) ReturnFreeMemory();
    return true;
}

}  // namespace

void StartCommand(Listener& l, evhttp_request* req, evhttp_connection* evcon, uint64_t reserved,
                  std::string pageOrigin) {
    auto job = std::make_shared<Job>();
    job->pageOrigin = std::move(pageOrigin);
    job->reserved = reserved;
    job->listener = &l;
    job->req = req;
    job->evcon = evcon;
    evbuffer* in = evhttp_request_get_input_buffer(req);
    Conn* conn = FindConn(l, evcon);
    LandedBody landed = conn ? conn->landing.Adopt(in) : LandedBody{};
    if (landed.memory) {  // landed as it arrived: nothing to copy
        job->body = std::move(landed.memory);
        job->bodySize = landed.size;
        if (landed.unwrapped) {
            job->text = landed.text;
            job->flags = landed.flags;
            job->document = landed.document;
        }
    } else if (landed.lost || !TakeBody(in, *job)) {
        evhttp_send_error(req, 503, nullptr);
        return;
    }
    if (const char* origin = RequestHeader(req, "Origin")) job->origin = origin;
    if (job->bodySize <= kAtOnceBody && !HeldForTests(job->bodySize) && (AnswerAsBefore(*job) || AnswerAtOnce(*job))) {
        job->GiveBackBody();
        Reply(*job);
        return;
    }
    // Most commands end long before a client could notice: the socket is
    // watched only once the command has run for a while.
    job->watch = evtimer_new(l.base, StartWatching, job.get());
    evtimer_add(job->watch, &kWatchAfter);
    l.inflight[evcon] = job;
    if (!TheServer().pool->Post([job] { RunJob(job); })) {
        ForgetJob(*job);
        evhttp_send_error(req, 503, nullptr);
        return;
    }
    event_active(l.wakePool, EV_READ, 0);  // once, after every request of this pass has been posted
}


void WakePool(evutil_socket_t, short, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    if (TheServer().pool && TheServer().pool->Wake() == WorkerPool::Woken::NudgeLater && !evtimer_pending(l.nudge, nullptr))
        evtimer_add(l.nudge, &kNudgeDelay);
}

void NudgePool(evutil_socket_t, short, void* arg) {
    auto& l = *static_cast<Listener*>(arg);
    if (TheServer().pool && TheServer().pool->Nudge()) evtimer_add(l.nudge, &kNudgeDelay);
}

}  // namespace zk::http::server
