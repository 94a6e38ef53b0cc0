--
-- PostgreSQL database dump
--



SET statement_timeout = 0;
SET lock_timeout = 0;
SET idle_in_transaction_session_timeout = 0;
SET client_encoding = 'UTF8';
SET standard_conforming_strings = on;
SELECT pg_catalog.set_config('search_path', '', false);
SET check_function_bodies = false;
SET xmloption = content;
SET client_min_messages = warning;
SET row_security = off;

--
-- Name: line_claim(text, integer, integer); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_claim(p_token text, p_fixture integer, p_row integer) RETURNS TABLE(claimed_row integer, claimed_generation bigint, claimed_unit text, claimed_values jsonb, claimed_certificate text, claimed_sha256 text, already_passed boolean)
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_run line_stations := line_run(p_token);
    v_fixture text := line_fixture(v_run, p_fixture);
BEGIN
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = v_run.name AND last_seen < clock_timestamp() - interval '1 second';
    RETURN QUERY
    SELECT r.row_no, r.generation, r.unit, NULL::jsonb, NULL::text, NULL::text, true
      FROM line_rows r
     WHERE r.batch_id = v_run.batch_id AND r.row_no = p_row AND r.state = 'passed';
    IF FOUND THEN
        RETURN;
    END IF;
    PERFORM FROM line_rows r
      WHERE r.batch_id = v_run.batch_id AND r.row_no = p_row AND r.state = 'leased'
        AND r.lease_end >= clock_timestamp();
    IF FOUND THEN
        RETURN;
    END IF;
    RETURN QUERY
    WITH picked AS (
        UPDATE line_rows r
           SET state = 'leased', holder_station = v_run.name, holder_fixture = v_fixture,
               holder_run = v_run.run_id,
               kept_since = CASE WHEN line_is_kept(r) THEN coalesce(r.kept_since, clock_timestamp())
                            END,
               claimed_by_its_unit = r.row_no IS NOT DISTINCT FROM p_row,
               lease_end = clock_timestamp() + make_interval(secs => v_run.lease_seconds),
               generation = r.generation + 1
         WHERE r.batch_id = v_run.batch_id
           AND r.row_no = coalesce(
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_run.batch_id AND c.row_no = p_row
                   AND c.state IN ('waiting', 'leased', 'kept')
                   AND (c.state <> 'leased' OR c.lease_end < clock_timestamp())
                   FOR UPDATE SKIP LOCKED),
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_run.batch_id AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting'
                        OR (c.lease_end < clock_timestamp() AND NOT line_is_kept(c)))
                 ORDER BY c.row_no
                 LIMIT 1
                   FOR UPDATE SKIP LOCKED))
        RETURNING r.row_no, r.generation, r.unit, r.row_values, r.certificate_sha256)
    SELECT p.row_no, p.generation, p.unit, p.row_values, encode(c.bytes, 'base64'),
           p.certificate_sha256, false
      FROM picked p LEFT JOIN line_certificates c ON c.sha256 = p.certificate_sha256;
END
$$;


--
-- Name: line_count_results(); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_count_results() RETURNS trigger
    LANGUAGE plpgsql
    SET search_path TO 'public', 'pg_temp'
    AS $$
BEGIN
    INSERT INTO line_result_counts AS c (batch_id, shard, units, failed_units)
    SELECT batch_id, pg_backend_pid() % 16, count(*), count(*) FILTER (WHERE NOT passed)
      FROM new_results GROUP BY batch_id
        ON CONFLICT (batch_id, shard) DO UPDATE
       SET units = c.units + excluded.units, failed_units = c.failed_units + excluded.failed_units;
    RETURN NULL;
END
$$;


--
-- Name: line_count_rows(); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_count_rows() RETURNS trigger
    LANGUAGE plpgsql
    SET search_path TO 'public', 'pg_temp'
    AS $$
BEGIN
    IF TG_OP = 'INSERT' THEN
        INSERT INTO line_row_counts AS c (batch_id, state, shard, rows)
        SELECT batch_id, state, pg_backend_pid() % 16, count(*) FROM new_rows
         GROUP BY batch_id, state
            ON CONFLICT (batch_id, state, shard) DO UPDATE SET rows = c.rows + excluded.rows;
    ELSIF TG_OP = 'UPDATE' THEN
        INSERT INTO line_row_counts AS c (batch_id, state, shard, rows)
        SELECT batch_id, state, pg_backend_pid() % 16, sum(n)
          FROM (SELECT batch_id, state, -1 AS n FROM old_rows
                UNION ALL SELECT batch_id, state, 1 FROM new_rows) d
         GROUP BY batch_id, state HAVING sum(n) <> 0
            ON CONFLICT (batch_id, state, shard) DO UPDATE SET rows = c.rows + excluded.rows;
    ELSE
        -- A batch deleted whole takes its counts with it.
        INSERT INTO line_row_counts AS c (batch_id, state, shard, rows)
        SELECT o.batch_id, o.state, pg_backend_pid() % 16, -count(*) FROM old_rows o
         WHERE EXISTS (SELECT 1 FROM line_batches b WHERE b.id = o.batch_id)
         GROUP BY o.batch_id, o.state
            ON CONFLICT (batch_id, state, shard) DO UPDATE SET rows = c.rows + excluded.rows;
    END IF;
    RETURN NULL;
END
$$;


--
-- Name: line_find_record(text, integer, bigint, text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_find_record(p_token text, p_row integer, p_generation bigint, p_time text) RETURNS TABLE(found boolean, settled boolean)
    LANGUAGE sql STABLE SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
    SELECT count(*) > 0, coalesce(bool_or(r.settled), false)
      FROM line_results r, line_run(p_token) s
     WHERE r.batch_id = s.batch_id AND r.station = s.name
       AND r.row_no IS NOT DISTINCT FROM p_row
       AND r.generation IS NOT DISTINCT FROM p_generation AND r.entry ->> 'time' = p_time;
$$;


SET default_tablespace = '';

SET default_table_access_method = heap;

--
-- Name: line_stations; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_stations (
    name text NOT NULL,
    host text NOT NULL,
    pid integer NOT NULL,
    fixtures integer NOT NULL,
    started_at timestamp with time zone NOT NULL,
    last_seen timestamp with time zone NOT NULL,
    version integer,
    run_id bigint,
    run_token bytea,
    backend_pid integer,
    batch_id bigint,
    fixture_names text[],
    lease_seconds double precision,
    row_tries integer
);


--
-- Name: line_fixture(public.line_stations, integer); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_fixture(p_run public.line_stations, p_fixture integer) RETURNS text
    LANGUAGE plpgsql IMMUTABLE
    SET search_path TO 'public', 'pg_temp'
    AS $$
BEGIN
    IF p_fixture IS NULL OR p_fixture < 1 OR p_fixture > cardinality(p_run.fixture_names) THEN
        RAISE EXCEPTION 'fixture % is not one of station %''s', p_fixture, p_run.name
            USING ERRCODE = '22023';
    END IF;
    RETURN p_run.fixture_names[p_fixture];
END
$$;


--
-- Name: line_identities(text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_identities(p_token text) RETURNS TABLE(row_no integer, identity jsonb)
    LANGUAGE sql STABLE SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
    SELECT r.row_no, r.identity FROM line_rows r, line_run(p_token) s
     WHERE r.batch_id = s.batch_id AND r.identity IS NOT NULL AND r.identity <> '{}';
$$;


--
-- Name: line_rows; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_rows (
    batch_id bigint NOT NULL,
    row_no integer NOT NULL,
    unit text NOT NULL,
    row_values jsonb NOT NULL,
    certificate_sha256 text,
    state text DEFAULT 'waiting'::text NOT NULL,
    holder_station text,
    holder_fixture text,
    lease_end timestamp with time zone,
    generation bigint DEFAULT 0 NOT NULL,
    identity jsonb,
    fail_step text,
    fail_message text,
    fail_count integer DEFAULT 0 NOT NULL,
    written_generation bigint,
    holder_run bigint,
    kept_since timestamp with time zone,
    claimed_by_its_unit boolean DEFAULT false NOT NULL,
    CONSTRAINT line_rows_state_check CHECK ((state = ANY (ARRAY['waiting'::text, 'leased'::text, 'passed'::text, 'set_aside'::text, 'kept'::text])))
);


--
-- Name: line_is_kept(public.line_rows); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_is_kept(p_row public.line_rows) RETURNS boolean
    LANGUAGE sql STABLE
    SET search_path TO 'public', 'pg_temp'
    AS $$
    SELECT p_row.state = 'kept'
        OR (p_row.state = 'leased' AND p_row.lease_end < now()
            AND (p_row.written_generation IS NOT DISTINCT FROM p_row.generation
                 OR p_row.kept_since IS NOT NULL)
            AND coalesce(p_row.identity, '{}') <> '{}');
$$;


--
-- Name: line_kept_rows(text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_kept_rows(p_token text) RETURNS TABLE(row_no integer, unit text, holder_station text, holder_fixture text, kept_since timestamp with time zone)
    LANGUAGE sql STABLE SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
    SELECT r.row_no, r.unit, r.holder_station, r.holder_fixture, coalesce(r.kept_since, r.lease_end)
      FROM line_rows r, line_run(p_token) s
     WHERE r.batch_id = s.batch_id AND r.state IN ('kept', 'leased') AND line_is_kept(r)
     ORDER BY r.row_no;
$$;


--
-- Name: line_record(text, integer, integer, bigint, boolean, text, text, json); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_record(p_token text, p_fixture integer, p_row integer, p_generation bigint, p_passed boolean, p_failed_step text, p_message text, p_entry json) RETURNS boolean
    LANGUAGE sql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
    SELECT line_record(p_token, p_fixture, p_row, p_generation, p_passed, p_failed_step,
                       p_message, NULL::text, p_entry);
$$;


--
-- Name: line_record(text, integer, integer, bigint, boolean, text, text, text, json); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_record(p_token text, p_fixture integer, p_row integer, p_generation bigint, p_passed boolean, p_failed_step text, p_message text, p_identity text, p_entry json) RETURNS boolean
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_run line_stations := line_run(p_token);
    v_fixture text;
    v_came_back boolean := false;
    v_settled boolean := false;
BEGIN
    IF p_passed IS NULL OR p_entry IS NULL OR (p_passed AND p_failed_step IS NOT NULL)
       OR (p_passed AND p_row IS NULL)
       OR (NOT p_passed AND NOT coalesce(p_failed_step = ANY
           ('{ping,write,verify,certificate,port,lease,interrupted}'::text[]), false))
       OR (p_identity IS NOT NULL AND (p_passed OR p_row IS NULL
           OR p_identity <> ALL ('{returned,not_held,kept}'::text[]))) THEN
        RAISE EXCEPTION 'a result is passed, with its row, or failed at one of the steps'
            USING ERRCODE = '22023';
    END IF;
    IF p_fixture = 0 AND p_row IS NOT NULL THEN
        SELECT holder_fixture INTO v_fixture FROM line_rows
         WHERE batch_id = v_run.batch_id AND row_no = p_row AND state = 'leased'
           AND holder_station = v_run.name AND generation = p_generation;
    END IF;
    v_fixture := coalesce(v_fixture, line_fixture(v_run, p_fixture));
    IF p_row IS NOT NULL THEN
        WITH counted AS (
            SELECT r.row_no,
                   CASE WHEN p_passed THEN 0
                        WHEN r.fail_count > 0 AND r.fail_step IS NOT DISTINCT FROM p_failed_step
                             AND r.fail_message IS NOT DISTINCT FROM p_message
                        THEN r.fail_count + 1 ELSE 1 END AS fails,
                   NOT p_passed AND (p_identity = 'kept'
                                     OR (p_identity IS NULL AND r.kept_since IS NOT NULL))
                       AS kept,
                   r.claimed_by_its_unit AS came_back
              FROM line_rows r
             WHERE r.batch_id = v_run.batch_id AND r.row_no = p_row)
        UPDATE line_rows r
           SET state = CASE WHEN p_passed THEN 'passed' WHEN k.kept THEN 'kept'
                            WHEN k.fails >= v_run.row_tries THEN 'set_aside' ELSE 'waiting' END,
               fail_count = k.fails,
               fail_step = CASE WHEN p_passed THEN NULL ELSE p_failed_step END,
               fail_message = CASE WHEN p_passed THEN NULL ELSE p_message END,
               holder_station = CASE WHEN k.kept THEN r.holder_station END,
               holder_fixture = CASE WHEN k.kept THEN r.holder_fixture END,
               kept_since = CASE WHEN k.kept THEN coalesce(r.kept_since, clock_timestamp()) END,
               lease_end = NULL, holder_run = NULL
          FROM counted k
         WHERE r.batch_id = v_run.batch_id AND r.row_no = k.row_no AND r.state = 'leased'
           AND r.generation = p_generation AND r.holder_station = v_run.name
           AND r.holder_fixture = v_fixture
        RETURNING k.came_back INTO v_came_back;
        v_settled := FOUND;
    END IF;
    INSERT INTO line_results (batch_id, row_no, station, fixture, passed, failed_step,
                              generation, settled, entry, message, came_back)
    VALUES (v_run.batch_id, p_row, v_run.name, v_fixture, p_passed, p_failed_step,
            CASE WHEN p_row IS NULL THEN NULL ELSE p_generation END, v_settled, p_entry,
            coalesce(p_message, ''), coalesce(v_came_back, false));
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = v_run.name AND last_seen < clock_timestamp() - interval '1 second';
    RETURN v_settled;
END
$$;


--
-- Name: line_release(text, integer, text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_release(p_batch text, p_row integer, p_reason text) RETURNS TABLE(unit text, unit_station text, unit_fixture text)
    LANGUAGE plpgsql
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_row line_rows;
BEGIN
    IF coalesce(trim(p_reason), '') = '' THEN
        RAISE EXCEPTION 'a release needs a reason' USING ERRCODE = '22023';
    END IF;
    SELECT r.* INTO v_row FROM line_rows r JOIN line_batches b ON b.id = r.batch_id
     WHERE b.name = p_batch AND r.row_no = p_row FOR UPDATE OF r;
    IF NOT FOUND THEN
        RAISE EXCEPTION 'batch % has no row %', p_batch, p_row USING ERRCODE = 'KL002';
    END IF;
    IF NOT line_is_kept(v_row) THEN
        RAISE EXCEPTION 'row % of batch % is % and kept for no unit; nothing released', p_row,
            p_batch, replace(v_row.state, '_', ' ') USING ERRCODE = '22023';
    END IF;
    UPDATE line_rows
       SET state = 'waiting', holder_station = NULL, holder_fixture = NULL, lease_end = NULL,
           holder_run = NULL, kept_since = NULL
     WHERE batch_id = v_row.batch_id AND row_no = p_row;
    INSERT INTO line_releases (batch_id, row_no, reason, released_by, unit_station, unit_fixture)
    VALUES (v_row.batch_id, p_row, p_reason, session_user, v_row.holder_station,
            v_row.holder_fixture);
    RETURN QUERY SELECT v_row.unit, v_row.holder_station, v_row.holder_fixture;
END
$$;


--
-- Name: line_renew(text, integer, integer, bigint, boolean); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_renew(p_token text, p_fixture integer, p_row integer, p_generation bigint, p_writing boolean) RETURNS boolean
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_run line_stations := line_run(p_token);
    v_fixture text := line_fixture(v_run, p_fixture);
BEGIN
    UPDATE line_rows r
       SET lease_end = clock_timestamp() + make_interval(secs => v_run.lease_seconds),
           written_generation = CASE WHEN p_writing THEN p_generation
                                     ELSE r.written_generation END
     WHERE r.batch_id = v_run.batch_id AND r.row_no = p_row AND r.state = 'leased'
       AND r.generation = p_generation AND r.holder_run = v_run.run_id
       AND r.holder_fixture = v_fixture;
    RETURN FOUND;
END
$$;


--
-- Name: line_run(text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_run(p_token text) RETURNS public.line_stations
    LANGUAGE plpgsql STABLE
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_run line_stations;
BEGIN
    SELECT * INTO v_run FROM line_stations
     WHERE run_token = sha256(convert_to(coalesce(p_token, ''), 'UTF8'));
    IF NOT FOUND THEN
        RAISE EXCEPTION 'this run of the station is not the line''s: its name was taken by '
                        'another run, or it was never started' USING ERRCODE = 'KL001';
    END IF;
    RETURN v_run;
END
$$;


--
-- Name: line_schema_version(); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_schema_version() RETURNS TABLE(version integer, stations_from integer)
    LANGUAGE sql STABLE SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
    SELECT max(s.version), max(coalesce(s.stations_from, s.version)) FROM line_schema s;
$$;


--
-- Name: line_set_aside_rows(text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_set_aside_rows(p_token text) RETURNS TABLE(row_no integer)
    LANGUAGE sql STABLE SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
    SELECT r.row_no FROM line_rows r, line_run(p_token) s
     WHERE r.batch_id = s.batch_id AND r.state = 'set_aside' ORDER BY r.row_no;
$$;


--
-- Name: line_station_alive(public.line_stations); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_station_alive(p_station public.line_stations) RETURNS boolean
    LANGUAGE sql STABLE
    SET search_path TO 'public', 'pg_temp'
    AS $$
    SELECT p_station.last_seen >= clock_timestamp()
                                  - make_interval(secs => coalesce(p_station.lease_seconds, 30))
       AND EXISTS (SELECT 1 FROM pg_stat_activity a WHERE a.pid = p_station.backend_pid);
$$;


--
-- Name: line_station_ready(text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_station_ready(p_token text) RETURNS void
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_run line_stations := line_run(p_token);
BEGIN
    WITH earlier AS (
        SELECT r.batch_id, r.row_no,
               (r.written_generation IS NOT DISTINCT FROM r.generation
                OR r.kept_since IS NOT NULL)
               AND coalesce(r.identity, '{}') <> '{}' AS kept
          FROM line_rows r
         WHERE r.state = 'leased' AND r.holder_station = v_run.name
           AND r.holder_run IS DISTINCT FROM v_run.run_id)
    UPDATE line_rows r
       SET state = CASE WHEN e.kept THEN 'kept' ELSE 'waiting' END,
           kept_since = CASE WHEN e.kept THEN coalesce(r.kept_since, clock_timestamp()) END,
           holder_station = CASE WHEN e.kept THEN r.holder_station END,
           holder_fixture = CASE WHEN e.kept THEN r.holder_fixture END,
           lease_end = NULL, holder_run = NULL
      FROM earlier e
     WHERE r.batch_id = e.batch_id AND r.row_no = e.row_no;
END
$$;


--
-- Name: line_station_resume(text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_station_resume(p_token text) RETURNS void
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_run line_stations := line_run(p_token);
BEGIN
    UPDATE line_stations SET backend_pid = pg_backend_pid(), last_seen = clock_timestamp()
     WHERE name = v_run.name;
END
$$;


--
-- Name: line_station_rights(); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_station_rights() RETURNS SETOF regprocedure
    LANGUAGE sql IMMUTABLE
    SET search_path TO 'public', 'pg_temp'
    AS $$
    VALUES ('line_schema_version()'::regprocedure),
           ('line_station_start(text, text, integer, text, text[], double precision, integer, '
            'integer)'),
           ('line_station_ready(text)'), ('line_station_resume(text)'),
           ('line_station_seen(text)'), ('line_claim(text, integer, integer)'),
           ('line_renew(text, integer, integer, bigint, boolean)'),
           ('line_record(text, integer, integer, bigint, boolean, text, text, json)'),
           ('line_record(text, integer, integer, bigint, boolean, text, text, text, json)'),
           ('line_find_record(text, integer, bigint, text)'), ('line_identities(text)'),
           ('line_set_aside_rows(text)'), ('line_kept_rows(text)');
$$;


--
-- Name: line_station_seen(text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_station_seen(p_token text) RETURNS TABLE(rows bigint, waiting bigint, leased bigint, expired_leases bigint, passed bigint, set_aside bigint, failed_units bigint, kept bigint)
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_run line_stations := line_run(p_token);
BEGIN
    UPDATE line_stations SET last_seen = clock_timestamp(), backend_pid = pg_backend_pid()
     WHERE name = v_run.name;
    RETURN QUERY
    SELECT p.rows, p.waiting, p.leased, p.expired_leases, p.passed, p.set_aside, p.failed_units,
           p.kept
      FROM line_progress p JOIN line_batches b ON b.name = p.batch WHERE b.id = v_run.batch_id;
END
$$;


--
-- Name: line_station_start(text, text, integer, text, text[], double precision, integer, integer); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_station_start(p_station text, p_host text, p_pid integer, p_batch text, p_fixtures text[], p_lease_seconds double precision, p_row_tries integer, p_version integer) RETURNS TABLE(started boolean, token text, running_host text, running_pid integer)
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_batch bigint;
    v_held line_stations;
    v_token text := replace(gen_random_uuid()::text || gen_random_uuid()::text, '-', '');
BEGIN
    IF coalesce(length(p_station), 0) NOT BETWEEN 1 AND 200
       OR coalesce(cardinality(p_fixtures), 0) NOT BETWEEN 1 AND 256
       OR array_position(p_fixtures, NULL) IS NOT NULL
       OR p_lease_seconds IS NULL OR p_lease_seconds NOT BETWEEN 1 AND 3600
       OR p_row_tries IS NULL OR p_row_tries NOT BETWEEN 1 AND 100 THEN
        RAISE EXCEPTION 'a station needs a name of 1 to 200 characters, 1 to 256 fixtures, a '
                        'lease of 1 s to 1 hour and row tries from 1 to 100'
            USING ERRCODE = '22023';
    END IF;
    SELECT id INTO v_batch FROM line_batches WHERE name = p_batch;
    IF v_batch IS NULL THEN
        RAISE EXCEPTION 'batch % does not exist', p_batch USING ERRCODE = 'KL002';
    END IF;
    INSERT INTO line_stations (name, host, pid, fixtures, started_at, last_seen)
    VALUES (p_station, coalesce(p_host, ''), coalesce(p_pid, 0), cardinality(p_fixtures),
            clock_timestamp(), '-infinity')
        ON CONFLICT (name) DO NOTHING;
    SELECT * INTO v_held FROM line_stations WHERE name = p_station FOR UPDATE;
    IF v_held.run_token IS NOT NULL AND line_station_alive(v_held) THEN
        RETURN QUERY SELECT false, NULL::text, v_held.host, v_held.pid;
        RETURN;
    END IF;
    UPDATE line_stations
       SET host = coalesce(p_host, ''), pid = coalesce(p_pid, 0),
           fixtures = cardinality(p_fixtures), started_at = clock_timestamp(),
           last_seen = clock_timestamp(), version = p_version, run_id = nextval('line_runs'),
           run_token = sha256(convert_to(v_token, 'UTF8')), backend_pid = pg_backend_pid(),
           batch_id = v_batch, fixture_names = p_fixtures, lease_seconds = p_lease_seconds,
           row_tries = p_row_tries
     WHERE name = p_station;
    RETURN QUERY SELECT true, v_token, p_host, p_pid;
END
$$;


--
-- Name: line_viewer_rights(); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_viewer_rights() RETURNS SETOF regclass
    LANGUAGE sql IMMUTABLE
    SET search_path TO 'public', 'pg_temp'
    AS $$
    VALUES ('line_progress'::regclass), ('station_rates'), ('fixture_yield'), ('failure_causes');
$$;


--
-- Name: line_batches; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_batches (
    id bigint NOT NULL,
    name text NOT NULL,
    imported_at timestamp with time zone DEFAULT now() NOT NULL
);


--
-- Name: line_results; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_results (
    id bigint NOT NULL,
    batch_id bigint NOT NULL,
    row_no integer,
    station text NOT NULL,
    fixture text NOT NULL,
    passed boolean NOT NULL,
    failed_step text,
    generation bigint,
    settled boolean NOT NULL,
    recorded_at timestamp with time zone DEFAULT clock_timestamp() NOT NULL,
    entry json NOT NULL,
    message text,
    came_back boolean DEFAULT false NOT NULL
);


--
-- Name: failure_causes; Type: VIEW; Schema: public; Owner: -
--

CREATE VIEW public.failure_causes AS
 SELECT b.name AS batch,
    c.step,
    c.message,
    c.units
   FROM (public.line_batches b
     CROSS JOIN LATERAL ( SELECT r.failed_step AS step,
            r.message,
            count(*) AS units
           FROM public.line_results r
          WHERE ((r.batch_id = b.id) AND (NOT r.passed) AND (NOT r.came_back))
          GROUP BY r.failed_step, r.message) c);


--
-- Name: fixture_yield; Type: VIEW; Schema: public; Owner: -
--

CREATE VIEW public.fixture_yield AS
 SELECT b.name AS batch,
    f.station,
    f.fixture,
    f.tried,
    f.passed,
    f.passed_first,
    round(((f.passed_first)::numeric / (NULLIF(f.tried, 0))::numeric), 3) AS first_pass_yield,
    ( SELECT ((l.failed_step || ': '::text) || l.message)
           FROM public.line_results l
          WHERE (l.id = f.last_failed)) AS last_failure,
    (t.failing AND (EXISTS ( SELECT 1
           FROM public.line_results p
          WHERE ((p.batch_id = b.id) AND (p.id > t.since) AND p.passed AND ((p.station IS DISTINCT FROM f.station) OR (p.fixture IS DISTINCT FROM f.fixture)))))) AS flagged,
    f.last_unit_at
   FROM ((public.line_batches b
     CROSS JOIN LATERAL ( SELECT r.station,
            r.fixture,
            count(*) FILTER (WHERE (NOT r.came_back)) AS tried,
            count(*) FILTER (WHERE r.passed) AS passed,
            count(*) FILTER (WHERE (r.passed AND (NOT r.came_back))) AS passed_first,
            max(r.id) FILTER (WHERE (NOT r.passed)) AS last_failed,
            max(r.recorded_at) AS last_unit_at
           FROM public.line_results r
          WHERE (r.batch_id = b.id)
          GROUP BY r.station, r.fixture) f)
     CROSS JOIN LATERAL ( SELECT ((count(*) FILTER (WHERE (NOT x.passed)) = 3) AND (count(DISTINCT x.failed_step) = 1)) AS failing,
            min(x.id) AS since
           FROM ( SELECT x_1.id,
                    x_1.passed,
                    x_1.failed_step
                   FROM public.line_results x_1
                  WHERE ((x_1.batch_id = b.id) AND (x_1.station = f.station) AND (x_1.fixture = f.fixture))
                  ORDER BY x_1.id DESC
                 LIMIT 3) x) t);


--
-- Name: line_batches_id_seq; Type: SEQUENCE; Schema: public; Owner: -
--

ALTER TABLE public.line_batches ALTER COLUMN id ADD GENERATED ALWAYS AS IDENTITY (
    SEQUENCE NAME public.line_batches_id_seq
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1
);


--
-- Name: line_certificates; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_certificates (
    sha256 text NOT NULL,
    bytes bytea NOT NULL
);


--
-- Name: line_result_counts; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_result_counts (
    batch_id bigint NOT NULL,
    shard integer NOT NULL,
    units bigint NOT NULL,
    failed_units bigint NOT NULL
);


--
-- Name: line_row_counts; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_row_counts (
    batch_id bigint NOT NULL,
    state text NOT NULL,
    shard integer NOT NULL,
    rows bigint NOT NULL
);


--
-- Name: line_progress; Type: VIEW; Schema: public; Owner: -
--

CREATE VIEW public.line_progress AS
 SELECT b.name AS batch,
    (COALESCE(( SELECT sum(c.rows) AS sum
           FROM public.line_row_counts c
          WHERE (c.batch_id = b.id)), (0)::numeric))::bigint AS rows,
    (COALESCE(( SELECT sum(c.rows) AS sum
           FROM public.line_row_counts c
          WHERE ((c.batch_id = b.id) AND (c.state = 'waiting'::text))), (0)::numeric))::bigint AS waiting,
    ((COALESCE(( SELECT sum(c.rows) AS sum
           FROM public.line_row_counts c
          WHERE ((c.batch_id = b.id) AND (c.state = 'leased'::text))), (0)::numeric))::bigint - ( SELECT count(*) AS count
           FROM public.line_rows r
          WHERE ((r.batch_id = b.id) AND (r.state = 'leased'::text) AND public.line_is_kept(r.*)))) AS leased,
    ( SELECT count(*) AS count
           FROM public.line_rows r
          WHERE ((r.batch_id = b.id) AND (r.state = 'leased'::text) AND (r.lease_end < now()) AND (NOT public.line_is_kept(r.*)))) AS expired_leases,
    (COALESCE(( SELECT sum(c.rows) AS sum
           FROM public.line_row_counts c
          WHERE ((c.batch_id = b.id) AND (c.state = 'passed'::text))), (0)::numeric))::bigint AS passed,
    (COALESCE(( SELECT sum(c.rows) AS sum
           FROM public.line_row_counts c
          WHERE ((c.batch_id = b.id) AND (c.state = 'set_aside'::text))), (0)::numeric))::bigint AS set_aside,
    (COALESCE(( SELECT sum(f.failed_units) AS sum
           FROM public.line_result_counts f
          WHERE (f.batch_id = b.id)), (0)::numeric))::bigint AS failed_units,
    ((COALESCE(( SELECT sum(c.rows) AS sum
           FROM public.line_row_counts c
          WHERE ((c.batch_id = b.id) AND (c.state = 'kept'::text))), (0)::numeric))::bigint + ( SELECT count(*) AS count
           FROM public.line_rows r
          WHERE ((r.batch_id = b.id) AND (r.state = 'leased'::text) AND public.line_is_kept(r.*)))) AS kept
   FROM public.line_batches b;


--
-- Name: line_releases; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_releases (
    id bigint NOT NULL,
    batch_id bigint NOT NULL,
    row_no integer NOT NULL,
    reason text NOT NULL,
    released_by text NOT NULL,
    released_at timestamp with time zone DEFAULT clock_timestamp() NOT NULL,
    unit_station text,
    unit_fixture text
);


--
-- Name: line_releases_id_seq; Type: SEQUENCE; Schema: public; Owner: -
--

ALTER TABLE public.line_releases ALTER COLUMN id ADD GENERATED ALWAYS AS IDENTITY (
    SEQUENCE NAME public.line_releases_id_seq
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1
);


--
-- Name: line_results_id_seq; Type: SEQUENCE; Schema: public; Owner: -
--

ALTER TABLE public.line_results ALTER COLUMN id ADD GENERATED ALWAYS AS IDENTITY (
    SEQUENCE NAME public.line_results_id_seq
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1
);


--
-- Name: line_runs; Type: SEQUENCE; Schema: public; Owner: -
--

CREATE SEQUENCE public.line_runs
    START WITH 1
    INCREMENT BY 1
    NO MINVALUE
    NO MAXVALUE
    CACHE 1;


--
-- Name: line_schema; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_schema (
    version integer NOT NULL,
    stations_from integer
);


--
-- Name: station_rates; Type: VIEW; Schema: public; Owner: -
--

CREATE VIEW public.station_rates AS
 SELECT s.station,
    to_timestamp(((floor((EXTRACT(epoch FROM s.recorded_at) / (600)::numeric)) * (600)::numeric))::double precision) AS period_start,
    b.name AS batch,
    count(*) FILTER (WHERE s.passed) AS passed,
    count(*) FILTER (WHERE (NOT s.passed)) AS failed
   FROM (public.line_results s
     JOIN public.line_batches b ON ((b.id = s.batch_id)))
  GROUP BY s.station, (to_timestamp(((floor((EXTRACT(epoch FROM s.recorded_at) / (600)::numeric)) * (600)::numeric))::double precision)), b.name;


--
-- Name: line_batches line_batches_name_key; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_batches
    ADD CONSTRAINT line_batches_name_key UNIQUE (name);


--
-- Name: line_batches line_batches_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_batches
    ADD CONSTRAINT line_batches_pkey PRIMARY KEY (id);


--
-- Name: line_certificates line_certificates_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_certificates
    ADD CONSTRAINT line_certificates_pkey PRIMARY KEY (sha256);


--
-- Name: line_releases line_releases_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_releases
    ADD CONSTRAINT line_releases_pkey PRIMARY KEY (id);


--
-- Name: line_result_counts line_result_counts_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_result_counts
    ADD CONSTRAINT line_result_counts_pkey PRIMARY KEY (batch_id, shard);


--
-- Name: line_results line_results_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_results
    ADD CONSTRAINT line_results_pkey PRIMARY KEY (id);


--
-- Name: line_row_counts line_row_counts_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_row_counts
    ADD CONSTRAINT line_row_counts_pkey PRIMARY KEY (batch_id, state, shard);


--
-- Name: line_rows line_rows_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_rows
    ADD CONSTRAINT line_rows_pkey PRIMARY KEY (batch_id, row_no);


--
-- Name: line_stations line_stations_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_stations
    ADD CONSTRAINT line_stations_pkey PRIMARY KEY (name);


--
-- Name: line_stations line_stations_run_token_key; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_stations
    ADD CONSTRAINT line_stations_run_token_key UNIQUE (run_token);


--
-- Name: line_results_batch; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_results_batch ON public.line_results USING btree (batch_id, id);


--
-- Name: line_results_fixture; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_results_fixture ON public.line_results USING btree (batch_id, station, fixture, id);


--
-- Name: line_results_passed; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_results_passed ON public.line_results USING btree (batch_id, recorded_at) WHERE passed;


--
-- Name: line_results_recent; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_results_recent ON public.line_results USING btree (station, recorded_at);


--
-- Name: line_results_station; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_results_station ON public.line_results USING btree (batch_id, station, row_no, generation);


--
-- Name: line_rows_holder; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_rows_holder ON public.line_rows USING btree (holder_station) WHERE (state = 'leased'::text);


--
-- Name: line_rows_kept; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_rows_kept ON public.line_rows USING btree (batch_id, row_no) WHERE (state = 'kept'::text);


--
-- Name: line_rows_leased; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_rows_leased ON public.line_rows USING btree (batch_id, lease_end) WHERE (state = 'leased'::text);


--
-- Name: line_rows_open; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_rows_open ON public.line_rows USING btree (batch_id, row_no) WHERE (state = ANY (ARRAY['waiting'::text, 'leased'::text]));


--
-- Name: line_rows_set_aside; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_rows_set_aside ON public.line_rows USING btree (batch_id, row_no) WHERE (state = 'set_aside'::text);


--
-- Name: line_results line_results_inserted; Type: TRIGGER; Schema: public; Owner: -
--

CREATE TRIGGER line_results_inserted AFTER INSERT ON public.line_results REFERENCING NEW TABLE AS new_results FOR EACH STATEMENT EXECUTE FUNCTION public.line_count_results();


--
-- Name: line_rows line_rows_deleted; Type: TRIGGER; Schema: public; Owner: -
--

CREATE TRIGGER line_rows_deleted AFTER DELETE ON public.line_rows REFERENCING OLD TABLE AS old_rows FOR EACH STATEMENT EXECUTE FUNCTION public.line_count_rows();


--
-- Name: line_rows line_rows_inserted; Type: TRIGGER; Schema: public; Owner: -
--

CREATE TRIGGER line_rows_inserted AFTER INSERT ON public.line_rows REFERENCING NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION public.line_count_rows();


--
-- Name: line_rows line_rows_updated; Type: TRIGGER; Schema: public; Owner: -
--

CREATE TRIGGER line_rows_updated AFTER UPDATE ON public.line_rows REFERENCING OLD TABLE AS old_rows NEW TABLE AS new_rows FOR EACH STATEMENT EXECUTE FUNCTION public.line_count_rows();


--
-- Name: line_releases line_releases_batch_id_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_releases
    ADD CONSTRAINT line_releases_batch_id_fkey FOREIGN KEY (batch_id) REFERENCES public.line_batches(id) ON DELETE CASCADE;


--
-- Name: line_result_counts line_result_counts_batch_id_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_result_counts
    ADD CONSTRAINT line_result_counts_batch_id_fkey FOREIGN KEY (batch_id) REFERENCES public.line_batches(id) ON DELETE CASCADE;


--
-- Name: line_results line_results_batch_id_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_results
    ADD CONSTRAINT line_results_batch_id_fkey FOREIGN KEY (batch_id) REFERENCES public.line_batches(id) ON DELETE CASCADE;


--
-- Name: line_row_counts line_row_counts_batch_id_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_row_counts
    ADD CONSTRAINT line_row_counts_batch_id_fkey FOREIGN KEY (batch_id) REFERENCES public.line_batches(id) ON DELETE CASCADE;


--
-- Name: line_rows line_rows_batch_id_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_rows
    ADD CONSTRAINT line_rows_batch_id_fkey FOREIGN KEY (batch_id) REFERENCES public.line_batches(id) ON DELETE CASCADE;


--
-- Name: line_rows line_rows_certificate_sha256_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_rows
    ADD CONSTRAINT line_rows_certificate_sha256_fkey FOREIGN KEY (certificate_sha256) REFERENCES public.line_certificates(sha256);


--
-- Name: line_stations line_stations_batch_id_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_stations
    ADD CONSTRAINT line_stations_batch_id_fkey FOREIGN KEY (batch_id) REFERENCES public.line_batches(id) ON DELETE SET NULL;


--
-- Name: FUNCTION line_claim(p_token text, p_fixture integer, p_row integer); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_claim(p_token text, p_fixture integer, p_row integer) FROM PUBLIC;


--
-- Name: FUNCTION line_count_results(); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_count_results() FROM PUBLIC;


--
-- Name: FUNCTION line_count_rows(); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_count_rows() FROM PUBLIC;


--
-- Name: FUNCTION line_find_record(p_token text, p_row integer, p_generation bigint, p_time text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_find_record(p_token text, p_row integer, p_generation bigint, p_time text) FROM PUBLIC;


--
-- Name: FUNCTION line_fixture(p_run public.line_stations, p_fixture integer); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_fixture(p_run public.line_stations, p_fixture integer) FROM PUBLIC;


--
-- Name: FUNCTION line_identities(p_token text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_identities(p_token text) FROM PUBLIC;


--
-- Name: FUNCTION line_kept_rows(p_token text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_kept_rows(p_token text) FROM PUBLIC;


--
-- Name: FUNCTION line_record(p_token text, p_fixture integer, p_row integer, p_generation bigint, p_passed boolean, p_failed_step text, p_message text, p_entry json); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_record(p_token text, p_fixture integer, p_row integer, p_generation bigint, p_passed boolean, p_failed_step text, p_message text, p_entry json) FROM PUBLIC;


--
-- Name: FUNCTION line_record(p_token text, p_fixture integer, p_row integer, p_generation bigint, p_passed boolean, p_failed_step text, p_message text, p_identity text, p_entry json); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_record(p_token text, p_fixture integer, p_row integer, p_generation bigint, p_passed boolean, p_failed_step text, p_message text, p_identity text, p_entry json) FROM PUBLIC;


--
-- Name: FUNCTION line_release(p_batch text, p_row integer, p_reason text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_release(p_batch text, p_row integer, p_reason text) FROM PUBLIC;


--
-- Name: FUNCTION line_renew(p_token text, p_fixture integer, p_row integer, p_generation bigint, p_writing boolean); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_renew(p_token text, p_fixture integer, p_row integer, p_generation bigint, p_writing boolean) FROM PUBLIC;


--
-- Name: FUNCTION line_run(p_token text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_run(p_token text) FROM PUBLIC;


--
-- Name: FUNCTION line_schema_version(); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_schema_version() FROM PUBLIC;


--
-- Name: FUNCTION line_set_aside_rows(p_token text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_set_aside_rows(p_token text) FROM PUBLIC;


--
-- Name: FUNCTION line_station_alive(p_station public.line_stations); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_station_alive(p_station public.line_stations) FROM PUBLIC;


--
-- Name: FUNCTION line_station_ready(p_token text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_station_ready(p_token text) FROM PUBLIC;


--
-- Name: FUNCTION line_station_resume(p_token text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_station_resume(p_token text) FROM PUBLIC;


--
-- Name: FUNCTION line_station_rights(); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_station_rights() FROM PUBLIC;


--
-- Name: FUNCTION line_station_seen(p_token text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_station_seen(p_token text) FROM PUBLIC;


--
-- Name: FUNCTION line_station_start(p_station text, p_host text, p_pid integer, p_batch text, p_fixtures text[], p_lease_seconds double precision, p_row_tries integer, p_version integer); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_station_start(p_station text, p_host text, p_pid integer, p_batch text, p_fixtures text[], p_lease_seconds double precision, p_row_tries integer, p_version integer) FROM PUBLIC;


--
-- Name: FUNCTION line_viewer_rights(); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_viewer_rights() FROM PUBLIC;


--
-- PostgreSQL database dump complete
--


