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
-- Name: line_claim(text, text, text, double precision, integer); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_claim(p_batch text, p_station text, p_fixture text, p_lease_seconds double precision, p_row integer) RETURNS TABLE(claimed_row integer, claimed_generation bigint, claimed_unit text, claimed_values jsonb, claimed_certificate text, claimed_sha256 text, already_passed boolean)
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_batch bigint;
BEGIN
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = p_station AND last_seen < clock_timestamp() - interval '1 second';
    SELECT id INTO v_batch FROM line_batches WHERE name = p_batch;
    RETURN QUERY
    SELECT r.row_no, r.generation, r.unit, r.row_values, NULL::text, r.certificate_sha256, true
      FROM line_rows r
     WHERE r.batch_id = v_batch AND r.row_no = p_row AND r.state = 'passed';
    IF FOUND THEN
        RETURN;
    END IF;
    -- The unit's own row, under a live lease: it waits for it rather than
    -- take another row, whose values would overwrite those it may hold.
    PERFORM FROM line_rows r
      WHERE r.batch_id = v_batch AND r.row_no = p_row AND r.state = 'leased'
        AND r.lease_end >= clock_timestamp();
    IF FOUND THEN
        RETURN;
    END IF;
    RETURN QUERY
    WITH picked AS (
        UPDATE line_rows r
           SET state = 'leased', holder_station = p_station, holder_fixture = p_fixture,
               lease_end = clock_timestamp() + make_interval(secs => p_lease_seconds),
               generation = r.generation + 1
         WHERE r.batch_id = v_batch
           AND r.row_no = coalesce(
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_batch AND c.row_no = p_row
                   AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting' OR c.lease_end < clock_timestamp())
                   FOR UPDATE SKIP LOCKED),
               (SELECT c.row_no FROM line_rows c
                 WHERE c.batch_id = v_batch AND c.state IN ('waiting', 'leased')
                   AND (c.state = 'waiting'
                        OR (c.lease_end < clock_timestamp()
                            AND (c.written_generation IS DISTINCT FROM c.generation
                                 OR coalesce(c.identity, '{}') = '{}')))
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
-- Name: line_record(text, integer, bigint, text, text, boolean, text, text, integer, json); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_record(p_batch text, p_row integer, p_generation bigint, p_station text, p_fixture text, p_passed boolean, p_failed_step text, p_message text, p_row_tries integer, p_entry json) RETURNS boolean
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
DECLARE
    v_batch bigint;
    v_settled boolean := false;
BEGIN
    SELECT id INTO v_batch FROM line_batches WHERE name = p_batch;
    IF v_batch IS NULL THEN
        RAISE EXCEPTION 'batch % does not exist', p_batch USING ERRCODE = '22023';
    END IF;
    IF p_row IS NOT NULL THEN
        WITH counted AS (
            SELECT r.row_no,
                   CASE WHEN p_passed THEN 0
                        WHEN r.fail_count > 0 AND r.fail_step IS NOT DISTINCT FROM p_failed_step
                             AND r.fail_message IS NOT DISTINCT FROM p_message
                        THEN r.fail_count + 1 ELSE 1 END AS fails
              FROM line_rows r
             WHERE r.batch_id = v_batch AND r.row_no = p_row)
        UPDATE line_rows r
           SET state = CASE WHEN p_passed THEN 'passed'
                            WHEN k.fails >= p_row_tries THEN 'set_aside' ELSE 'waiting' END,
               fail_count = k.fails,
               fail_step = CASE WHEN p_passed THEN NULL ELSE p_failed_step END,
               fail_message = CASE WHEN p_passed THEN NULL ELSE p_message END,
               holder_station = NULL, holder_fixture = NULL, lease_end = NULL
          FROM counted k
         WHERE r.batch_id = v_batch AND r.row_no = k.row_no AND r.state = 'leased'
           AND r.generation = p_generation AND r.holder_station = p_station
           AND r.holder_fixture = p_fixture;
        v_settled := FOUND;
    END IF;
    INSERT INTO line_results (batch_id, row_no, station, fixture, passed, failed_step,
                              generation, settled, entry)
    VALUES (v_batch, p_row, p_station, p_fixture, p_passed, p_failed_step, p_generation,
            v_settled, p_entry);
    UPDATE line_stations SET last_seen = clock_timestamp()
     WHERE name = p_station AND last_seen < clock_timestamp() - interval '1 second';
    RETURN v_settled;
END
$$;


--
-- Name: line_renew(text, integer, bigint, text, text, double precision); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_renew(p_batch text, p_row integer, p_generation bigint, p_station text, p_fixture text, p_lease_seconds double precision) RETURNS boolean
    LANGUAGE sql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
    WITH renewed AS (
        UPDATE line_rows r
           SET lease_end = clock_timestamp() + make_interval(secs => p_lease_seconds)
          FROM line_batches b
         WHERE b.name = p_batch AND r.batch_id = b.id AND r.row_no = p_row
           AND r.state = 'leased' AND r.generation = p_generation
           AND r.holder_station = p_station AND r.holder_fixture = p_fixture
        RETURNING 1)
    SELECT count(*) = 1 FROM renewed;
$$;


--
-- Name: line_station_seen(text); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_station_seen(p_station text) RETURNS void
    LANGUAGE sql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
    UPDATE line_stations SET last_seen = clock_timestamp() WHERE name = p_station;
$$;


--
-- Name: line_station_start(text, text, integer, integer); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_station_start(p_station text, p_host text, p_pid integer, p_fixtures integer) RETURNS TABLE(started boolean, running_host text, running_pid integer)
    LANGUAGE plpgsql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
BEGIN
    IF NOT pg_try_advisory_lock(19251, hashtext(p_station)) THEN
        RETURN QUERY SELECT false, s.host, s.pid
                       FROM (SELECT 1) one LEFT JOIN line_stations s ON s.name = p_station;
        RETURN;
    END IF;
    INSERT INTO line_stations AS s
    VALUES (p_station, p_host, p_pid, p_fixtures, clock_timestamp(), clock_timestamp())
    ON CONFLICT (name) DO UPDATE
       SET host = excluded.host, pid = excluded.pid, fixtures = excluded.fixtures,
           started_at = excluded.started_at, last_seen = excluded.last_seen;
    UPDATE line_rows
       SET state = 'waiting', holder_station = NULL, holder_fixture = NULL, lease_end = NULL
     WHERE state = 'leased' AND holder_station = p_station
       AND written_generation IS DISTINCT FROM generation;
    UPDATE line_rows SET lease_end = clock_timestamp()
     WHERE state = 'leased' AND holder_station = p_station AND lease_end > clock_timestamp();
    RETURN QUERY SELECT true, p_host, p_pid;
END
$$;


--
-- Name: line_writing(text, integer, bigint, text, text, double precision); Type: FUNCTION; Schema: public; Owner: -
--

CREATE FUNCTION public.line_writing(p_batch text, p_row integer, p_generation bigint, p_station text, p_fixture text, p_lease_seconds double precision) RETURNS boolean
    LANGUAGE sql SECURITY DEFINER
    SET search_path TO 'public', 'pg_temp'
    AS $$
    WITH marked AS (
        UPDATE line_rows r
           SET lease_end = clock_timestamp() + make_interval(secs => p_lease_seconds),
               written_generation = p_generation
          FROM line_batches b
         WHERE b.name = p_batch AND r.batch_id = b.id AND r.row_no = p_row
           AND r.state = 'leased' AND r.generation = p_generation
           AND r.holder_station = p_station AND r.holder_fixture = p_fixture
        RETURNING 1)
    SELECT count(*) = 1 FROM marked;
$$;


SET default_tablespace = '';

SET default_table_access_method = heap;

--
-- Name: line_batches; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_batches (
    id bigint NOT NULL,
    name text NOT NULL,
    imported_at timestamp with time zone DEFAULT now() NOT NULL
);


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
    entry json NOT NULL
);


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
    CONSTRAINT line_rows_state_check CHECK ((state = ANY (ARRAY['waiting'::text, 'leased'::text, 'passed'::text, 'set_aside'::text])))
);


--
-- Name: line_progress; Type: VIEW; Schema: public; Owner: -
--

CREATE VIEW public.line_progress AS
 SELECT b.name AS batch,
    count(r.row_no) AS rows,
    count(*) FILTER (WHERE (r.state = 'waiting'::text)) AS waiting,
    count(*) FILTER (WHERE (r.state = 'leased'::text)) AS leased,
    count(*) FILTER (WHERE ((r.state = 'leased'::text) AND (r.lease_end < now()))) AS expired_leases,
    count(*) FILTER (WHERE (r.state = 'passed'::text)) AS passed,
    count(*) FILTER (WHERE (r.state = 'set_aside'::text)) AS set_aside,
    ( SELECT count(*) AS count
           FROM public.line_results f
          WHERE ((f.batch_id = b.id) AND (NOT f.passed))) AS failed_units
   FROM (public.line_batches b
     LEFT JOIN public.line_rows r ON ((r.batch_id = b.id)))
  GROUP BY b.id, b.name;


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
-- Name: line_schema; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_schema (
    version integer NOT NULL,
    stations_from integer
);


--
-- Name: line_stations; Type: TABLE; Schema: public; Owner: -
--

CREATE TABLE public.line_stations (
    name text NOT NULL,
    host text NOT NULL,
    pid integer NOT NULL,
    fixtures integer NOT NULL,
    started_at timestamp with time zone NOT NULL,
    last_seen timestamp with time zone NOT NULL
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
-- Name: line_results line_results_pkey; Type: CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_results
    ADD CONSTRAINT line_results_pkey PRIMARY KEY (id);


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
-- Name: line_results_batch; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_results_batch ON public.line_results USING btree (batch_id, id);


--
-- Name: line_results_recent; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_results_recent ON public.line_results USING btree (station, recorded_at);


--
-- Name: line_rows_open; Type: INDEX; Schema: public; Owner: -
--

CREATE INDEX line_rows_open ON public.line_rows USING btree (batch_id, row_no) WHERE (state = ANY (ARRAY['waiting'::text, 'leased'::text]));


--
-- Name: line_results line_results_batch_id_fkey; Type: FK CONSTRAINT; Schema: public; Owner: -
--

ALTER TABLE ONLY public.line_results
    ADD CONSTRAINT line_results_batch_id_fkey FOREIGN KEY (batch_id) REFERENCES public.line_batches(id) ON DELETE CASCADE;


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
-- Name: FUNCTION line_claim(p_batch text, p_station text, p_fixture text, p_lease_seconds double precision, p_row integer); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_claim(p_batch text, p_station text, p_fixture text, p_lease_seconds double precision, p_row integer) FROM PUBLIC;


--
-- Name: FUNCTION line_record(p_batch text, p_row integer, p_generation bigint, p_station text, p_fixture text, p_passed boolean, p_failed_step text, p_message text, p_row_tries integer, p_entry json); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_record(p_batch text, p_row integer, p_generation bigint, p_station text, p_fixture text, p_passed boolean, p_failed_step text, p_message text, p_row_tries integer, p_entry json) FROM PUBLIC;


--
-- Name: FUNCTION line_renew(p_batch text, p_row integer, p_generation bigint, p_station text, p_fixture text, p_lease_seconds double precision); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_renew(p_batch text, p_row integer, p_generation bigint, p_station text, p_fixture text, p_lease_seconds double precision) FROM PUBLIC;


--
-- Name: FUNCTION line_station_seen(p_station text); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_station_seen(p_station text) FROM PUBLIC;


--
-- Name: FUNCTION line_station_start(p_station text, p_host text, p_pid integer, p_fixtures integer); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_station_start(p_station text, p_host text, p_pid integer, p_fixtures integer) FROM PUBLIC;


--
-- Name: FUNCTION line_writing(p_batch text, p_row integer, p_generation bigint, p_station text, p_fixture text, p_lease_seconds double precision); Type: ACL; Schema: public; Owner: -
--

REVOKE ALL ON FUNCTION public.line_writing(p_batch text, p_row integer, p_generation bigint, p_station text, p_fixture text, p_lease_seconds double precision) FROM PUBLIC;


--
-- PostgreSQL database dump complete
--


